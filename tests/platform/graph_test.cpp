// The platform's pure parts: the audio graph model, the kernel's version, change listeners and
// the choice of a microphone.

#include "core/manual_queue.h"
#include "fakes/fake_platform.h"
#include "platform/change_notifier.h"
#include "platform/mic_io.h"
#include "platform/pipewire/graph.h"
#include "platform/system_info.h"

#include <gtest/gtest.h>

namespace va::pw {
namespace {

TEST(OsVersion, FromKernelRelease) {
  const std::pair<const char*, const char*> cases[] = {
      {"6.1.0-18-amd64", "6.1.0"}, {"5.10", "5.10.0"}, {"6.1.0.5", "6.1.0"}, {"", "0.0.0"},
      {"6.-1", "6.0.0"},           {"6.", "6.0.0"},
  };
  for (const auto& [release, version] : cases)
    EXPECT_EQ(osVersionFromRelease(release), version) << release;
}

TEST(ListenerRegistry, DeliversOnItsQueueOncePerChangeUntilCancelled) {
  auto registry = std::make_shared<ListenerRegistry>();
  auto queue = std::make_shared<ManualQueue>(std::make_shared<ManualClock>());
  int devices = 0, process7 = 0;
  auto a = registry->listen({ChangeKind::deviceList}, queue, [&] { ++devices; });
  auto b = registry->listen({ChangeKind::processRunning, 7}, queue, [&] { ++process7; });
  ASSERT_TRUE(a && b);

  registry->notify({ChangeKind::deviceList});
  registry->notify({ChangeKind::processRunning, 8});
  EXPECT_EQ(devices, 0); // nothing runs off the queue
  queue->runUntilIdle();
  EXPECT_EQ(devices, 1);

  // A notification already queued when the listener is cancelled does not run.
  registry->notify({ChangeKind::processRunning, 7});
  b->cancel();
  b->cancel();
  EXPECT_FALSE(b->active());
  a.reset(); // destroying cancels
  registry->notify({ChangeKind::deviceList});
  queue->runUntilIdle();
  EXPECT_EQ(devices, 1);
  EXPECT_EQ(process7, 0);
  EXPECT_EQ(registry->count(), 0u);
  EXPECT_EQ(registry->listen({ChangeKind::deviceList}, nullptr, [] {}), nullptr);
}

// PipeWire's id 0 is no device: a default of 0 is none, even beside a device numbered 0.
TEST(MicDeviceResolver, ADefaultOfZeroIsNone) {
  fakes::FakeInputDevices devices;
  devices.devices = {{0, "zero", "Z", "usb", 48000, 1}};
  devices.defaultID = 0;
  EXPECT_EQ(MicDeviceResolver::resolve(std::nullopt, devices), std::nullopt);
}

// A graph built object by object, ids handed out in order, serials 1000 above them.
struct GraphBuilder {
  Graph graph;
  uint32_t next = 30;

  uint32_t device(Props props) {
    graph.devices[next] = {next, next + 1000, std::move(props)};
    return next++;
  }
  uint32_t client(Props props, bool hasInfo = true) {
    graph.clients[next] = {next, next + 1000, std::move(props), hasInfo};
    return next++;
  }
  uint32_t node(Props props, std::string state = "suspended") {
    graph.nodes[next] = {next, next + 1000, std::move(props), std::move(state), true};
    return next++;
  }
  uint32_t port(uint32_t node, bool output, std::string channel, bool monitor = false) {
    graph.ports[next] = {next, node, output, monitor, std::move(channel)};
    return next++;
  }
  uint32_t source(const std::string& name, Props extra = {}) {
    extra["media.class"] = "Audio/Source";
    extra.try_emplace("node.name", name); // unless given
    return node(std::move(extra));
  }
  uint32_t stream(uint32_t client, const std::string& mediaClass, std::string state,
                  Props extra = {}) {
    extra["media.class"] = mediaClass;
    extra["client.id"] = std::to_string(client);
    return node(std::move(extra), std::move(state));
  }
};

TEST(PipeWireGraph, TransportTable) {
  struct Case {
    const char* name;
    Props device; // empty: the node has no device
    Props node;
    const char* transport;
  } cases[] = {
      {"bluez device", {{"device.api", "bluez5"}}, {}, "bluetooth"},
      {"usb", {{"device.api", "alsa"}, {"device.bus", "usb"}}, {}, "usb"},
      {"pci", {{"device.api", "alsa"}, {"device.bus", "pci"}}, {}, "built-in"},
      {"hdmi node name", {{"device.bus", "pci"}}, {{"node.name", "alsa_input.HDMI"}}, "hdmi"},
      {"another bus", {{"device.bus", "firewire"}}, {}, "firewire"},
      {"a device without a bus", {{"device.api", "alsa"}}, {}, "unknown"},
      {"no device at all", {}, {}, "virtual"},
      {"no device, a bus on the node", {}, {{"device.bus", "usb"}}, "usb"},
  };
  for (Case c : cases) {
    GraphBuilder b;
    if (!c.device.empty())
      c.node["device.id"] = std::to_string(b.device(c.device));
    const Node& node = b.graph.nodes.at(b.source("mic", c.node));
    EXPECT_EQ(transportName(b.graph, node), c.transport) << c.name;
  }
}

TEST(PipeWireGraph, InputDevicesAndTheDefault) {
  GraphBuilder b;
  uint32_t usb = b.device({{"device.bus", "usb"}});
  uint32_t second = b.source("usb_mic", {{"node.description", "USB Mic"},
                                         {"device.id", std::to_string(usb)},
                                         {"audio.rate", "44100"},
                                         {"audio.channels", "2"}});
  uint32_t first = b.source("virtual_mic", {{"node.nick", "Nick"}});
  b.port(first, true, "MONO");
  b.port(first, true, "MONO", true); // a monitor port is no input channel
  // Listed in creation (serial) order, whatever the ids.
  b.graph.nodes[first].serial = 5;
  b.graph.nodes[second].serial = 9;
  b.node({{"media.class", "Audio/Sink"}, {"node.name", "speaker"}});
  b.node({{"media.class", "Stream/Input/Audio"}, {"node.name", "recorder"}});
  b.source(std::string(kTapNodePrefix) + "1");
  uint32_t pending = b.source("not_yet_known");
  b.graph.nodes[pending].hasInfo = false;
  b.graph.clockRate = 96000;

  EXPECT_EQ(inputDevices(b.graph),
            (std::vector<InputDevice>{{5, "virtual_mic", "Nick", "virtual", 96000, 1},
                                      {9, "usb_mic", "USB Mic", "usb", 44100, 2}}));

  b.graph.defaultSource = "usb_mic";
  EXPECT_EQ(defaultInputID(b.graph), 9u);
  b.graph.defaultSource = "speaker"; // a default that is no input device
  EXPECT_EQ(defaultInputID(b.graph), std::nullopt);
  EXPECT_EQ(defaultOutput(b.graph), OutputDeviceInfo{}); // no default output known
  b.graph.defaultSink = "speaker";
  EXPECT_EQ(defaultOutput(b.graph), (OutputDeviceInfo{"speaker", "speaker", 96000.0}));
}

TEST(PipeWireGraph, ProcessesFromClientsAndTheirStreams) {
  GraphBuilder b;
  const int32_t own = 4242;
  uint32_t native = b.client({{"pipewire.sec.pid", "100"},
                              {"application.process.binary", "player-bin"},
                              {"application.name", "Player"}});
  b.stream(native, "Stream/Output/Audio", "running", {{"application.id", "com.example.player"}});
  b.stream(native, "Stream/Input/Audio", "idle");
  uint32_t pulse = b.client({{"pipewire.sec.pid", "7"},
                             {"client.api", "pipewire-pulse"},
                             {"application.process.id", "200"},
                             {"application.id", "com.example.pulse"}});
  b.stream(pulse, "Stream/Input/Audio", "running");
  uint32_t sandboxed = b.client({{"pipewire.sec.pid", "300"},
                                 {"pipewire.access.portal.app_id", "org.example.Flat"},
                                 {"application.name", "Flat"}});
  b.stream(sandboxed, "Stream/Output/Audio", "running", {{"application.id", "ignored"}});
  b.client({{"pipewire.sec.pid", std::to_string(own)}, {"application.name", "us"}});
  b.client({{"pipewire.sec.pid", "5"}, {"application.process.binary", "wireplumber"}});
  b.client({{"pipewire.sec.pid", "6"}}); // no identity at all
  uint32_t named = b.client({{"pipewire.sec.pid", "400"}, {"application.name", "Only Name"}});
  // A PulseAudio client as the registry announces it, before its info: the bridge's pid and no
  // identity of its own. Not listed until its info arrives.
  b.client({{"pipewire.sec.pid", "7"}, {"application.name", "paplay"}}, false);
  // A second connection of the same PulseAudio process: a second process object, one application.
  uint32_t again = b.client({{"pipewire.sec.pid", "7"},
                             {"client.api", "pipewire-pulse"},
                             {"application.process.id", "200"},
                             {"application.id", "com.example.pulse"}});

  EXPECT_EQ(
      audioProcesses(b.graph, own),
      (std::vector<AudioProcessInfo>{{native + 1000, 100, "com.example.player", true, false},
                                     {pulse + 1000, 200, "com.example.pulse", false, true},
                                     {sandboxed + 1000, 300, "org.example.Flat", true, false},
                                     {named + 1000, 400, "Only Name", false, false},
                                     {again + 1000, 200, "com.example.pulse", false, false}}));

  std::vector<RunningApplication> apps = applications(b.graph, own);
  ASSERT_EQ(apps.size(), 4u);
  EXPECT_EQ(apps[0].name, "Player");
  EXPECT_EQ(apps[1].name, "com.example.pulse"); // no name: the identity
  EXPECT_EQ(apps[1].pid, 200);
}

TEST(PipeWireGraph, MicAndTapLinkPlans) {
  GraphBuilder b;
  uint32_t ours = b.node({{"media.class", "Stream/Input/Audio"}});
  uint32_t right = b.port(ours, false, "FR"), left = b.port(ours, false, "FL");
  uint32_t mic = b.source("mic");
  uint32_t fl = b.port(mic, true, "FL"), fr = b.port(mic, true, "FR");
  b.port(mic, true, "FL", true);
  EXPECT_EQ(micLinks(b.graph, mic, ours),
            (std::vector<PlannedLink>{{mic, fl, ours, left}, {mic, fr, ours, right}}));
  uint32_t aux = b.source("aux");
  uint32_t a0 = b.port(aux, true, "AUX0"), a1 = b.port(aux, true, "AUX1");
  EXPECT_EQ(micLinks(b.graph, aux, ours),
            (std::vector<PlannedLink>{{aux, a0, ours, right}, {aux, a1, ours, left}}));
  uint32_t lonely = b.node({{"media.class", "Stream/Input/Audio"}}); // no ports yet
  EXPECT_TRUE(micLinks(b.graph, mic, lonely).empty());
  // A virtual source made from a null sink offers only monitor ports: they are recorded.
  uint32_t virt = b.source("vsrc", {{"media.class", "Audio/Source/Virtual"}});
  b.port(virt, false, "MONO");
  uint32_t vm = b.port(virt, true, "MONO", true);
  EXPECT_EQ(micLinks(b.graph, virt, ours), (std::vector<PlannedLink>{{virt, vm, ours, right}}));

  uint32_t app = b.client({{"pipewire.sec.pid", "1"}, {"application.name", "a"}});
  uint32_t other = b.client({{"pipewire.sec.pid", "2"}, {"application.name", "b"}});
  uint32_t stereo = b.stream(app, "Stream/Output/Audio", "running");
  fl = b.port(stereo, true, "FL"), fr = b.port(stereo, true, "FR");
  uint32_t surround = b.stream(app, "Stream/Output/Audio", "running");
  uint32_t rl = b.port(surround, true, "RL"), fc = b.port(surround, true, "FC");
  uint32_t lfe = b.port(surround, true, "LFE"), frc = b.port(surround, true, "FRC");
  uint32_t mono = b.stream(app, "Stream/Output/Audio", "running");
  uint32_t m = b.port(mono, true, "MONO");
  uint32_t recording = b.stream(app, "Stream/Input/Audio", "running");
  b.port(recording, true, "FL");
  uint32_t elsewhere = b.stream(other, "Stream/Output/Audio", "running");
  b.port(elsewhere, true, "FL");
  EXPECT_EQ(tapLinks(b.graph, {app + 1000}, ours),
            (std::vector<PlannedLink>{{stereo, fl, ours, left},
                                      {stereo, fr, ours, right},
                                      {surround, rl, ours, left},
                                      {surround, fc, ours, left},
                                      {surround, fc, ours, right},
                                      {surround, lfe, ours, left},
                                      {surround, lfe, ours, right},
                                      {surround, frc, ours, right},
                                      {mono, m, ours, left},
                                      {mono, m, ours, right}}));
  EXPECT_TRUE(tapLinks(b.graph, {}, ours).empty());
  EXPECT_TRUE(tapLinks(b.graph, {app + 1000}, lonely).empty());
}

} // namespace
} // namespace va::pw
