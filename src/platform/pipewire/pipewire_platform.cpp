#include "platform/pipewire/pipewire_platform.h"

#include "core/random.h"
#include "platform/block_mix.h"
#include "platform/capture_permissions.h"
#include "platform/null_platform.h"
#include "platform/pipewire/capture_stream.h"

#include <atomic>
#include <charconv>

namespace va::pw {

namespace {

constexpr const char* kNoServer = "no audio server can be reached";

// A rate as a decimal floating-point number: 48000 reads "48000.0".
std::string decimalRate(double rate) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, rate);
  std::string result(text, end);
  if (result.find_first_of(".en") == std::string::npos)
    result += ".0";
  return result;
}

// One mono buffer per channel of a planar cycle.
std::vector<SampleBuffer> channelBuffers(const float* planar, size_t frames, uint32_t channels) {
  std::vector<SampleBuffer> buffers(channels);
  for (uint32_t c = 0; c < channels; ++c)
    buffers[c] = {.data = planar + c * frames, .samples = frames, .channels = 1};
  return buffers;
}

// The graph of a server that can link streams for us.
std::expected<Graph, CaptureError> linkableGraph(Host& host) {
  if (host.connection() != Connection::connected)
    return std::unexpected(CaptureError{kNoServer});
  Graph graph = host.snapshot();
  if (!graph.linkFactory)
    return std::unexpected(CaptureError{"the audio server cannot link streams (no link-factory)"});
  return graph;
}

std::string uniqueSuffix() {
  static std::atomic<uint64_t> counter{0};
  return std::to_string(getpid()) + "." + std::to_string(++counter);
}

} // namespace

std::string MicPermission::status() {
  switch (host_->connection()) {
  case Connection::connected:
    return "granted";
  case Connection::refused:
    return "denied";
  case Connection::connecting:
    break;
  }
  // A server that went away for a moment does not take the grant back.
  return host_->everConnected() ? "granted" : "not_determined";
}

void MicPermission::request(std::function<void(bool granted)> done) {
  // A server that is not up yet is no refusal: the answer waits until one accepts or refuses us.
  host_->reconnect();
  host_->whenReached(
      [done = std::move(done)](Connection reached) { done(reached == Connection::connected); });
}

std::string System::osVersion() {
  return KernelSystemInfo().osVersion();
}

bool System::systemAudioAvailable() {
  return host_->connection() == Connection::connected && host_->snapshot().linkFactory;
}

MicInput::MicInput(std::shared_ptr<Host> host)
    : host_(std::move(host)), stream_(std::make_unique<CaptureStream>(host_)) {}

MicInput::~MicInput() {
  stop();
}

std::expected<void, CaptureError> MicInput::start(const InputDevice& device,
                                                  BlockDelivery delivery) {
  stop();
  Graph graph = host_->snapshot();
  if (device.nominalRate <= 0)
    return std::unexpected(CaptureError{"input device " + device.uid +
                                        " offers no 32-bit float input at " +
                                        decimalRate(device.nominalRate) + " Hz"});
  const Node* node = nodeBySerial(graph, device.id);
  if (!node)
    return std::unexpected(
        CaptureError{"pw_filter_connect: input device " + device.uid + " is not in the graph"});
  StreamSpec spec{.nodeName = std::string(kMicNodePrefix) + uniqueSuffix(),
                  .description = "Velmorrant microphone",
                  .positions = {},
                  .alwaysProcess = false};
  for (const Port* port : recordedPorts(graph, node->id))
    spec.positions.push_back(port->channel.empty() ? "AUX" + std::to_string(port->id)
                                                   : port->channel);
  if (spec.positions.empty())
    for (int64_t c = 0; c < device.inputChannels; ++c)
      spec.positions.push_back("AUX" + std::to_string(c));
  const uint32_t source = device.id;
  auto planner = [source](const Graph& g, uint32_t own) -> std::vector<PlannedLink> {
    const Node* n = nodeBySerial(g, source);
    return n ? micLinks(g, n->id, own) : std::vector<PlannedLink>{};
  };
  // The ports carry the graph's rate, whatever the device's own: blocks are stamped with it.
  auto block = [delivery = std::move(delivery)](const float* planar, size_t frames,
                                                uint32_t channels, double rate, uint64_t timeNs) {
    if (std::optional<std::vector<float>> mono = mixInput(channelBuffers(planar, frames, channels)))
      delivery(*mono, rate, timeNs);
  };
  if (auto started = stream_->start(spec, planner, block, repaired_); !started)
    return std::unexpected(CaptureError{started.error()});
  std::lock_guard lock(mutex_);
  running_ = true;
  return {};
}

void MicInput::stop() {
  stream_->stop();
  std::lock_guard lock(mutex_);
  running_ = false;
}

bool MicInput::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

// What one start of the tap shares between its callbacks (all on the loop thread except the
// start report).
struct Tap::Session {
  FormatReport onFormat;
  BlockDelivery deliver;
  Locked<double> rate{0};
  double clockRate = 0;  // the graph's clock rate last seen
  double formatRate = 0; // the rate our ports carry: the graph's
  uint32_t channels = 2;
  DeliveredRate measure;

  void refresh(const std::string& reason) {
    double rateUsed = formatRate > 0 ? formatRate : clockRate;
    double previous = rate.get();
    rate.set(rateUsed);
    if (onFormat)
      onFormat(Json{{"reason", reason},
                    {"clock", "tap"},
                    {"rateUsed", rateUsed},
                    {"previousRateUsed", previous},
                    {"tapFormatRate", formatRate},
                    {"aggregateNominalRate", clockRate},
                    {"channels", channels}});
  }
};

Tap::Tap(std::shared_ptr<Host> host)
    : host_(std::move(host)), stream_(std::make_unique<CaptureStream>(host_)) {}

Tap::~Tap() {
  stop();
}

bool Tap::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::expected<void, CaptureError> Tap::start(const std::vector<uint32_t>& processes,
                                             BlockDelivery deliver, FormatReport onFormat) {
  stop();
  auto linkable = linkableGraph(*host_);
  if (!linkable)
    return std::unexpected(linkable.error());
  Graph graph = std::move(*linkable);
  auto session = std::make_shared<Session>();
  session->onFormat = std::move(onFormat);
  session->deliver = std::move(deliver);
  session->clockRate = graph.clockRate;
  session->formatRate = graph.clockRate;
  StreamSpec spec{.nodeName = std::string(kTapNodePrefix) + uniqueSuffix(),
                  .description = "Velmorrant capture",
                  .positions = {"FL", "FR"},
                  .alwaysProcess = true};
  session->refresh("start");
  auto planner = [processes](const Graph& g, uint32_t own) { return tapLinks(g, processes, own); };
  auto block = [session](const float* planar, size_t frames, uint32_t channels, double rate,
                         uint64_t timeNs) {
    if (rate > 0 && rate != session->clockRate) {
      session->clockRate = rate;
      session->formatRate = rate;
      session->refresh("aggregate_rate_changed");
    }
    std::optional<std::vector<float>> mono =
        mixTap(channelBuffers(planar, frames, channels), false, channels);
    if (!mono)
      return;
    double rateUsed = session->rate.get();
    if (std::optional<Json> report = session->measure.observe(timeNs, mono->size(), rateUsed))
      if (session->onFormat)
        session->onFormat(*report);
    session->deliver(*mono, rateUsed, timeNs);
  };
  if (auto started = stream_->start(spec, planner, block, repaired_); !started)
    return std::unexpected(CaptureError{started.error()});
  std::lock_guard lock(mutex_);
  running_ = true;
  return {};
}

void Tap::update(const std::vector<uint32_t>& processes) {
  if (!running())
    return;
  stream_->replan(
      [processes](const Graph& g, uint32_t own) { return tapLinks(g, processes, own); });
}

void Tap::stop() {
  stream_->stop();
  std::lock_guard lock(mutex_);
  running_ = false;
}

OutputMonitor::OutputMonitor(std::shared_ptr<Host> host)
    : host_(std::move(host)), stream_(std::make_unique<CaptureStream>(host_)) {}

OutputMonitor::~OutputMonitor() {
  stop();
}

std::expected<void, CaptureError>
OutputMonitor::start(BlockDelivery deliver,
                     std::function<void(const OutputDeviceInfo&)> outputChanged) {
  stop();
  auto linkable = linkableGraph(*host_);
  if (!linkable)
    return std::unexpected(linkable.error());
  Graph graph = std::move(*linkable);
  if (!defaultOutput(graph).uid)
    return std::unexpected(CaptureError{"no default output"});
  StreamSpec spec{.nodeName = std::string(kMicNodePrefix) + "reference." + uniqueSuffix(),
                  .description = "Velmorrant echo reference",
                  .positions = {"FL", "FR"},
                  .alwaysProcess = false};
  auto block = [deliver = std::move(deliver)](const float* planar, size_t frames, uint32_t channels,
                                              double rate, uint64_t timeNs) {
    if (std::optional<std::vector<float>> mono = mixInput(channelBuffers(planar, frames, channels)))
      deliver(*mono, rate, timeNs);
  };
  // The planner runs under the loop lock, one call at a time: it sees every move of the default.
  auto planner = [last = std::make_shared<std::optional<std::string>>(graph.defaultSink),
                  outputChanged = std::move(outputChanged)](const Graph& g, uint32_t own) {
    if (g.defaultSink != *last) {
      *last = g.defaultSink;
      if (outputChanged)
        outputChanged(defaultOutput(g));
    }
    return monitorLinks(g, own);
  };
  if (auto started = stream_->start(spec, planner, block); !started)
    return std::unexpected(CaptureError{started.error()});
  return {};
}

void OutputMonitor::stop() {
  stream_->stop();
}

std::unique_ptr<TapIO> makeTap(const std::shared_ptr<Host>& host) {
  if (!host)
    return std::make_unique<UnavailableTap>(kNoServer);
  return std::make_unique<Tap>(host);
}

} // namespace va::pw
