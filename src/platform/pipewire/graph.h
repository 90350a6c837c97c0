#pragma once

// A plain copy of the audio server's object graph and every view the platform interfaces derive
// from it. No PipeWire types: the host fills it, tests build it by hand.

#include "platform/input_device.h"
#include "platform/system_info.h"
#include "platform/tap_io.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace va::pw {

using Props = std::map<std::string, std::string>;

// Objects are held by their current id (unique among live objects; the host drops an object on
// its removal) and named outward by their serial, which the server never reuses.
struct Node {
  uint32_t id = 0;
  uint32_t serial = 0;
  Props props;
  std::string state;    // "running", "idle", "suspended", "creating", "error"
  bool hasInfo = false; // props are complete only once the bound node reported its info
};

struct Port {
  uint32_t id = 0;
  uint32_t node = 0;
  bool output = false;
  bool monitor = false;
  std::string channel; // audio.channel: "FL", "FR", "MONO", ...
};

struct Link {
  uint32_t id = 0;
  uint32_t outNode = 0, outPort = 0, inNode = 0, inPort = 0;
};

struct Client {
  uint32_t id = 0;
  uint32_t serial = 0;
  Props props;
  // The registry's props name a PulseAudio client by its bridge (its pid, no identity); they are
  // complete only once the bound client reported its info.
  bool hasInfo = false;
};

struct Device {
  uint32_t id = 0;
  uint32_t serial = 0;
  Props props;
};

struct Graph {
  std::map<uint32_t, Node> nodes;
  std::map<uint32_t, Port> ports;
  std::map<uint32_t, Link> links;
  std::map<uint32_t, Client> clients;
  std::map<uint32_t, Device> devices;
  std::optional<std::string> defaultSource; // node.name of default.audio.source
  std::optional<std::string> defaultSink;   // node.name of default.audio.sink
  double clockRate = 48000;                 // the graph's clock rate in Hz
  bool linkFactory = false;                 // the server can make links for us
};

// Our own streams' node names start with these; they are never listed as devices or processes.
inline constexpr std::string_view kTapNodePrefix = "velmorrant-audio.tap.";
inline constexpr std::string_view kMicNodePrefix = "velmorrant-audio.mic.";

std::string prop(const Props& props, const std::string& key);

// The transport word of an input node (see the device table in the design notes).
std::string transportName(const Graph& graph, const Node& node);

// Audio/Source, Audio/Source/Virtual and Audio/Duplex nodes, in serial (creation) order.
std::vector<InputDevice> inputDevices(const Graph& graph);
std::optional<uint32_t> defaultInputID(const Graph& graph);
// The node that default.audio.sink names; all empty when there is none.
OutputDeviceInfo defaultOutput(const Graph& graph);

// One entry per client with an application identity, in serial order; clients of `ownPid`, the
// audio server's own components and clients whose info has not arrived yet are left out.
std::vector<AudioProcessInfo> audioProcesses(const Graph& graph, int32_t ownPid);
// The same clients as running applications, one per process and identity (a program that opens
// several connections, as PulseAudio clients often do, is one application).
std::vector<RunningApplication> applications(const Graph& graph, int32_t ownPid);

// The node with that serial, if live.
const Node* nodeBySerial(const Graph& graph, uint32_t serial);

struct PlannedLink {
  uint32_t outNode = 0, outPort = 0, inNode = 0, inPort = 0;
  auto operator<=>(const PlannedLink&) const = default;
};

// The output ports a recording of a source takes: its own outputs, else its monitor ports (a
// virtual source made from a null sink offers nothing else).
std::vector<const Port*> recordedPorts(const Graph& graph, uint32_t node);
// Links from a source node's recorded ports to a capture node's inputs: same channel, else by
// order.
std::vector<PlannedLink> micLinks(const Graph& graph, uint32_t sourceNode, uint32_t captureNode);
// Links from every playback stream node of the given clients (by serial) to a stereo capture
// node: FL->FL, FR->FR, MONO and unsided channels to both, other channels to the nearer side.
std::vector<PlannedLink> tapLinks(const Graph& graph, const std::vector<uint32_t>& clientSerials,
                                  uint32_t captureNode);

// Links from the monitor ports of the default output (the sink that default.audio.sink names) to
// a stereo capture node, sided as for the tap; none when there is no default output.
std::vector<PlannedLink> monitorLinks(const Graph& graph, uint32_t captureNode);

} // namespace va::pw
