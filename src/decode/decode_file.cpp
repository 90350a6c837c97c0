#include "decode/decode_file.h"

#include "core/file_io.h"
#include "core/wav_header.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace va::Decode {

namespace {

const Outcome kUnreadable{0, Failure::unreadable};
const Outcome kUnsupported{0, Failure::unsupported};
const Outcome kBusy{0, Failure::busy};

// Short of descriptors or memory: the request may be tried again, nothing is wrong with it.
bool outOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// How often a growing output asks for the free space again.
constexpr int64_t kSpaceCheckBytes = 4 << 20;

// Whether the file system of `fd` has `bytes` more to give and still keeps what `limits` asks
// to leave free. A file system that cannot tell is given the benefit of the doubt.
bool roomFor(int fd, int64_t bytes, const Limits& limits) {
  struct statvfs fs {};
  if (!limits.keepFree || ::fstatvfs(fd, &fs) != 0)
    return true;
  const auto available = static_cast<unsigned __int128>(fs.f_bavail) * fs.f_frsize;
  return available >=
         static_cast<unsigned __int128>(limits.keepFree()) + static_cast<uint64_t>(bytes);
}

constexpr int kIOBufferBytes = 64 * 1024;
constexpr size_t kOutputFrames = 17024;
constexpr size_t kMaxAllocationBytes = 64u << 20;
// No real stream comes near these; anything larger is refused rather than held in memory.
constexpr int kMaxPacketBytes = 16 << 20;
constexpr int kMaxFrameSamples = 1 << 20; // per channel: 21 s at 48 kHz
constexpr int kMaxPlanes = 64;            // the resampler takes no more channels
// soxr holds back about 900 input samples at a 1 Hz input (14.7 million output samples): below
// this rate the resampler is FFmpeg's own, which holds back a few dozen.
constexpr int kSoxrMinRateHz = 4000;
// The output one slice of input may release, with what the resampler held back (800 001 at 1 Hz).
constexpr int kMaxChunkFrames = 1 << 21;

// Audio containers only. Anything else (playlists, concat lists, image or video-only formats)
// could make the demuxer read other files or reach the network.
constexpr const char* kAllowedFormats =
    "wav,w64,aiff,caf,au,mp3,aac,mov,flac,ogg,matroska,asf,wv,ape,amr,ac3,eac3,dts,tta,voc";

// The names of a comma-separated list.
std::vector<std::string_view> names(std::string_view list) {
  std::vector<std::string_view> out;
  for (size_t at = 0; at <= list.size();) {
    size_t comma = std::min(list.find(',', at), list.size());
    out.push_back(list.substr(at, comma - at));
    at = comma + 1;
  }
  return out;
}

bool allowed(const AVInputFormat* format) {
  static const std::vector<std::string_view> allowedNames = names(kAllowedFormats);
  // A demuxer's name lists its aliases: "mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm".
  for (std::string_view alias : names(format->name))
    if (std::find(allowedNames.begin(), allowedNames.end(), alias) != allowedNames.end())
      return true;
  return false;
}

// Every nested open a demuxer asks for (another file, a URL) is refused.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

// Reads come only from the descriptor that was opened and checked.
int readFd(void* opaque, uint8_t* buffer, int size) {
  int fd = *static_cast<int*>(opaque);
  for (;;) {
    ssize_t n = ::read(fd, buffer, static_cast<size_t>(size));
    if (n > 0)
      return static_cast<int>(n);
    if (n == 0)
      return AVERROR_EOF;
    if (errno != EINTR)
      return AVERROR(errno);
  }
}

int64_t seekFd(void* opaque, int64_t offset, int whence) {
  int fd = *static_cast<int*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : AVERROR(errno);
  }
  off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

struct Closer {
  void operator()(AVIOContext* io) const {
    if (io)
      av_freep(&io->buffer);
    avio_context_free(&io);
  }
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
  void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
  void operator()(SwrContext* swr) const { swr_free(&swr); }
};
template <class T> using Owned = std::unique_ptr<T, Closer>;

// A descriptor closed on every exit.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0)
      ::close(fd);
  }
};

// Outputs being written by this process: a second run to the same output would remove the
// first one's temporary file, so it fails instead.
class BusyOutputs {
public:
  bool claim(const std::string& path) {
    std::lock_guard lock(mutex_);
    return paths_.insert(path).second;
  }
  void release(const std::string& path) {
    std::lock_guard lock(mutex_);
    paths_.erase(path);
  }

private:
  std::mutex mutex_;
  std::set<std::string> paths_;
};

BusyOutputs& busyOutputs() {
  static BusyOutputs outputs;
  return outputs;
}

// The temporary files of the decodes that are running, for the orderly exit.
class Unfinished {
public:
  // `dir` is duplicated: the entry stays valid whatever the caller does with its descriptor.
  // 0 when it cannot be.
  uint64_t add(int dir, const std::string& name) {
    UniqueFd kept(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (!kept)
      return 0;
    std::lock_guard lock(mutex_);
    entries_[++last_] = Entry{std::move(kept), name};
    return last_;
  }
  void remove(uint64_t id) {
    std::lock_guard lock(mutex_);
    entries_.erase(id);
  }
  void unlinkAll() {
    std::lock_guard lock(mutex_);
    for (auto& [id, entry] : entries_)
      if (entry.dir)
        ::unlinkat(entry.dir.get(), entry.name.c_str(), 0);
    entries_.clear();
  }

private:
  struct Entry {
    UniqueFd dir;
    std::string name;
  };
  std::mutex mutex_;
  uint64_t last_ = 0;
  std::map<uint64_t, Entry> entries_;
};

Unfinished& unfinished() {
  static Unfinished files;
  return files;
}

// The temporary file: removed on every exit unless it was renamed into place.
struct Partial {
  FileIO& io;
  int dir;
  std::string name;
  Fd file;
  bool keep = false;
  uint64_t registered = 0;
  ~Partial() {
    if (file.fd >= 0 && !keep)
      io.unlinkat(dir, name);
    if (registered)
      unfinished().remove(registered);
  }
};

// 16 kHz samples on their way to the temporary file, in a fixed buffer, within `limits`.
class OutputBuffer {
public:
  OutputBuffer(FileIO& io, int fd, const Limits& limits) : io_(io), fd_(fd), limits_(limits) {
    samples_.reserve(kOutputFrames);
  }
  bool add(std::span<const int16_t> samples) {
    while (!samples.empty()) {
      size_t take = std::min(samples.size(), kOutputFrames - samples_.size());
      samples_.insert(samples_.end(), samples.begin(), samples.begin() + take);
      samples = samples.subspan(take);
      if (samples_.size() == kOutputFrames && !flush())
        return false;
    }
    return true;
  }
  bool flush() {
    if (samples_.empty())
      return true;
    total_ += static_cast<int64_t>(samples_.size());
    unchecked_ += static_cast<int64_t>(samples_.size()) * 2;
    if (total_ > std::min(limits_.maxFrames, kMaxFrames))
      failure_ = Failure::tooLarge;
    else if (unchecked_ >= kSpaceCheckBytes && !roomFor(fd_, kSpaceCheckBytes, limits_))
      failure_ = Failure::noSpace;
    if (unchecked_ >= kSpaceCheckBytes)
      unchecked_ = 0;
    bool ok = !failure_ && write(io_, fd_,
                                 std::span(reinterpret_cast<const uint8_t*>(samples_.data()),
                                           samples_.size() * 2));
    samples_.clear();
    return ok;
  }
  int64_t total() const { return total_; }
  // Why the output stopped, when a limit stopped it.
  std::optional<Failure> failure() const { return failure_; }

private:
  FileIO& io_;
  const int fd_;
  const Limits& limits_;
  std::vector<int16_t> samples_;
  int64_t total_ = 0;
  int64_t unchecked_ = 0; // bytes written since the free space was last asked
  std::optional<Failure> failure_;
};

// Turns decoded frames of any sample format, layout and rate into 16 kHz mono 16-bit in one
// pass: every channel with the same weight (a signal present in all of them keeps its level),
// mixed before resampling, resampled by soxr. A frame in a new format or rate first drains the
// old converter.
class Converter {
public:
  explicit Converter(OutputBuffer& out) : out_(out) {}
  ~Converter() { av_channel_layout_uninit(&layout_); }

  bool add(const AVFrame& frame) {
    if (frame.nb_samples > kMaxFrameSamples)
      return false;
    if (!swr_ || frame.format != format_ || frame.sample_rate != rate_ ||
        av_channel_layout_compare(&frame.ch_layout, &layout_) != 0) {
      if ((swr_ && !drain()) || !configure(frame))
        return false;
    }
    // One frame can make a vast output (each sample of a 1 Hz input makes 16000): it is fed to
    // the resampler a slice at a time, each slice small enough for its output to fit one chunk.
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const int planes = planar ? frame.ch_layout.nb_channels : 1;
    const int sampleBytes =
        av_get_bytes_per_sample(format) * (planar ? 1 : frame.ch_layout.nb_channels);
    if (planes > kMaxPlanes || sampleBytes <= 0)
      return false;
    const int64_t slice = std::max<int64_t>(1, static_cast<int64_t>(kOutputFrames) *
                                                   frame.sample_rate / (2 * kWavRateHz));
    std::array<const uint8_t*, kMaxPlanes> in{};
    for (int64_t done = 0; done < frame.nb_samples;) {
      const auto take = static_cast<int>(std::min<int64_t>(slice, frame.nb_samples - done));
      for (int p = 0; p < planes; ++p)
        in[static_cast<size_t>(p)] = frame.extended_data[p] + done * sampleBytes;
      int room = swr_get_out_samples(swr_.get(), take);
      if (room < 0 || room > kMaxChunkFrames)
        return false;
      converted_.resize(static_cast<size_t>(room));
      auto* out = reinterpret_cast<uint8_t*>(converted_.data());
      int n = swr_convert(swr_.get(), &out, room, in.data(), take);
      if (n < 0 || !out_.add(std::span(converted_.data(), static_cast<size_t>(n))))
        return false;
      done += take;
    }
    return true;
  }

  // Releases what the resampler holds back.
  bool drain() {
    if (!swr_)
      return true;
    converted_.resize(kOutputFrames);
    for (;;) {
      auto* out = reinterpret_cast<uint8_t*>(converted_.data());
      int n = swr_convert(swr_.get(), &out, static_cast<int>(kOutputFrames), nullptr, 0);
      if (n < 0)
        return false;
      if (n == 0)
        break;
      if (!out_.add(std::span(converted_.data(), static_cast<size_t>(n))))
        return false;
    }
    swr_.reset();
    return true;
  }

private:
  bool configure(const AVFrame& frame) {
    av_channel_layout_uninit(&layout_);
    int channels = frame.ch_layout.nb_channels;
    if (channels < 1 || frame.sample_rate <= 0)
      return false;
    AVChannelLayout in{};
    if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      av_channel_layout_default(&in, channels);
    else if (av_channel_layout_copy(&in, &frame.ch_layout) < 0)
      return false;
    // Not AV_CHANNEL_LAYOUT_MONO: its designated initializer leaves a field out (a warning).
    AVChannelLayout mono{};
    av_channel_layout_default(&mono, 1);
    SwrContext* swr = nullptr;
    int made = swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, kWavRateHz, &in,
                                   static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0,
                                   nullptr);
    av_channel_layout_uninit(&in);
    if (made < 0)
      return false;
    swr_.reset(swr);
    std::vector<double> matrix(static_cast<size_t>(channels), 1.0 / channels);
    if (av_opt_set(swr, "resampler", frame.sample_rate < kSoxrMinRateHz ? "swr" : "soxr", 0) < 0 ||
        swr_set_matrix(swr, matrix.data(), channels) < 0 || swr_init(swr) < 0) {
      swr_.reset();
      return false;
    }
    format_ = frame.format;
    rate_ = frame.sample_rate;
    return av_channel_layout_copy(&layout_, &frame.ch_layout) >= 0;
  }

  OutputBuffer& out_;
  Owned<SwrContext> swr_;
  int format_ = -1;
  int rate_ = 0;
  AVChannelLayout layout_{};
  std::vector<int16_t> converted_; // the output of one slice of input
};

Outcome decodeInto(AVFormatContext* format, AVCodecContext* codec, int stream, FileIO& io,
                   int outFd, const Limits& limits) {
  Owned<AVPacket> packet(av_packet_alloc());
  Owned<AVFrame> frame(av_frame_alloc());
  if (!packet || !frame)
    return kBusy;
  OutputBuffer out(io, outFd, limits);
  Converter converter(out);
  auto failed = [&out] { return Outcome{0, out.failure().value_or(Failure::unreadable)}; };

  // Everything the decoder has ready, converted and written.
  auto drainDecoder = [&]() -> bool {
    for (;;) {
      int r = avcodec_receive_frame(codec, frame.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
        return true;
      if (r < 0)
        return false;
      bool added = converter.add(*frame);
      av_frame_unref(frame.get());
      if (!added)
        return false;
    }
  };

  for (;;) {
    int r = av_read_frame(format, packet.get());
    if (r == AVERROR_EOF)
      break;
    if (r < 0)
      return kUnreadable;
    if (packet->size > kMaxPacketBytes) {
      av_packet_unref(packet.get());
      return kUnreadable;
    }
    if (packet->stream_index == stream) {
      r = avcodec_send_packet(codec, packet.get());
      av_packet_unref(packet.get());
      if (r < 0 || !drainDecoder())
        return failed();
    } else {
      av_packet_unref(packet.get());
    }
  }
  if (avcodec_send_packet(codec, nullptr) < 0 || !drainDecoder() || !converter.drain() ||
      !out.flush())
    return failed();
  return Outcome{out.total(), std::nullopt};
}

} // namespace

bool write(FileIO& io, int fd, std::span<const uint8_t> data) {
  return writeFully(io, fd, data.data(), data.size()) == data.size();
}

void removeUnfinished() {
  unfinished().unlinkAll();
}

Outcome decodeFile(const Place& input, const Place& output, FileIO& files, const Limits& limits) {
  static std::once_flag setUp;
  std::call_once(setUp, [] {
    av_log_set_level(AV_LOG_QUIET); // we report; FFmpeg does not
    // A few corrupt bytes (a metadata chunk claiming 4 GB) must not make one allocation of
    // gigabytes; no real audio stream needs a single block near this size.
    av_max_alloc(kMaxAllocationBytes);
  });

  // 1-2. The input: a plain, non-empty file, opened without following a link and without
  // waiting (a FIFO would wait for a writer), then read through that descriptor only.
  Fd in{::openat(input.dir, input.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (in.fd < 0 && outOfResources(errno))
    return kBusy;
  struct stat opened {};
  if (in.fd < 0 || ::fstat(in.fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_size < 1 ||
      ::fcntl(in.fd, F_SETFL, O_RDONLY) != 0)
    return kUnreadable;

  // 3. Recognise the container from that descriptor's bytes, among the allowed ones only.
  auto* ioBuffer = static_cast<uint8_t*>(av_malloc(kIOBufferBytes));
  if (!ioBuffer)
    return kUnreadable;
  Owned<AVIOContext> io(
      avio_alloc_context(ioBuffer, kIOBufferBytes, 0, &in.fd, readFd, nullptr, seekFd));
  if (!io) {
    av_free(ioBuffer);
    return kUnreadable;
  }
  const AVInputFormat* container = nullptr;
  if (av_probe_input_buffer2(io.get(), &container, "", nullptr, 0, 0) < 0 || !container ||
      !allowed(container))
    return kUnsupported;
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw)
    return kUnreadable;
  raw->pb = io.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  raw->io_open = refuseNestedOpen;
  raw->format_whitelist = av_strdup(kAllowedFormats);
  raw->protocol_whitelist = av_strdup("none");
  int opened_r = avformat_open_input(&raw, "", container, nullptr); // frees raw on failure
  if (opened_r < 0)
    return opened_r == AVERROR_INVALIDDATA ? kUnsupported : kUnreadable;
  Owned<AVFormatContext> format(raw);

  // 4. The name still names the file that was opened.
  struct stat now {};
  if (::fstatat(input.dir, input.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      now.st_dev != opened.st_dev || now.st_ino != opened.st_ino)
    return kUnreadable;

  // 5-6. An audio stream with a decoder.
  if (avformat_find_stream_info(format.get(), nullptr) < 0)
    return kUnreadable;
  const AVCodec* decoder = nullptr;
  int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (stream == AVERROR_STREAM_NOT_FOUND || stream == AVERROR_DECODER_NOT_FOUND || !decoder)
    return kUnsupported;
  if (stream < 0)
    return kUnreadable;
  Owned<AVCodecContext> codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), format->streams[stream]->codecpar) < 0 ||
      avcodec_open2(codec.get(), decoder, nullptr) < 0)
    return kUnreadable;
  if (codec->sample_rate <= 0 || codec->ch_layout.nb_channels < 1)
    return kUnreadable;

  // A length the container declares (not one guessed from the bit rate) is checked before
  // anything is written; the output is checked again as it grows.
  int64_t declared = 0;
  if (format->duration > 0 && format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE)
    declared = av_rescale(format->duration, kWavRateHz, AV_TIME_BASE);
  if (declared > std::min(limits.maxFrames, kMaxFrames))
    return Outcome{0, Failure::tooLarge};
  if (!roomFor(output.dir, static_cast<int64_t>(kWavHeaderBytes) + declared * 2, limits))
    return Outcome{0, Failure::noSpace};

  // 7-8. The temporary file, after removing a stale one, with a placeholder header.
  if (!busyOutputs().claim(output.path))
    return kUnreadable;
  struct Release {
    const std::string& path;
    ~Release() { busyOutputs().release(path); }
  } release{output.path};
  Partial partial{files, output.dir, output.name + ".partial", {}, false, 0};
  files.unlinkat(partial.dir, partial.name);
  partial.file.fd = files.openat(partial.dir, partial.name,
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (partial.file.fd < 0 && outOfResources(errno))
    return kBusy;
  if (partial.file.fd >= 0 &&
      (partial.registered = unfinished().add(partial.dir, partial.name)) == 0)
    return kBusy; // the exit could not remove it
  if (partial.file.fd < 0 || ::fchmod(partial.file.fd, 0644) != 0 ||
      !write(files, partial.file.fd, wavHeader(0)))
    return kUnreadable;

  // 9-12. Decode, mix, resample, write.
  Outcome frames = decodeInto(format.get(), codec.get(), stream, files, partial.file.fd, limits);
  if (frames.failure)
    return frames;

  // 13. The real header, on storage, then into place.
  if (frames.frames < 1 || frames.frames > kMaxFrames)
    return kUnreadable;
  auto header = wavHeader(frames.frames * 2);
  if (files.pwrite(partial.file.fd, header.data(), header.size(), 0) !=
          static_cast<ssize_t>(header.size()) ||
      files.fsync(partial.file.fd) != 0)
    return kUnreadable;
  if (files.renameat(partial.dir, partial.name, output.dir, output.name) != 0)
    return kUnreadable;
  partial.keep = true;
  return frames;
}

} // namespace va::Decode
