#include "platform/pipewire/graph.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace va::pw {

namespace {

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool contains(const std::string& text, std::string_view part) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find(part) != std::string::npos;
}

std::optional<int64_t> number(const std::string& text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data())
    return std::nullopt;
  return value;
}

bool isInputClass(const std::string& mediaClass) {
  return mediaClass == "Audio/Source" || mediaClass == "Audio/Source/Virtual" ||
         mediaClass == "Audio/Duplex";
}

bool ownNode(const Node& node) {
  std::string name = prop(node.props, "node.name");
  return startsWith(name, kTapNodePrefix) || startsWith(name, kMicNodePrefix);
}

std::vector<const Port*> portsOf(const Graph& graph, uint32_t node, bool output,
                                 bool monitor = false) {
  std::vector<const Port*> result;
  for (const auto& [id, port] : graph.ports)
    if (port.node == node && port.output == output && port.monitor == monitor)
      result.push_back(&port);
  return result;
}

const Client* clientOf(const Graph& graph, const Node& node) {
  std::optional<int64_t> id = number(prop(node.props, "client.id"));
  if (!id)
    return nullptr;
  auto it = graph.clients.find(static_cast<uint32_t>(*id));
  return it == graph.clients.end() ? nullptr : &it->second;
}

// The audio server's own processes, never applications.
bool serverComponent(const Client& client) {
  static const std::set<std::string> names{"pipewire", "wireplumber", "pipewire-pulse",
                                           "pipewire-media-session"};
  return names.contains(prop(client.props, "application.process.binary"));
}

int32_t clientPid(const Client& client) {
  // PulseAudio clients all share the bridge's socket; the bridge reports the real process.
  std::string key = prop(client.props, "client.api") == "pipewire-pulse" ? "application.process.id"
                                                                         : "pipewire.sec.pid";
  return static_cast<int32_t>(number(prop(client.props, key)).value_or(0));
}

struct ClientAudio {
  std::string streamAppId; // application.id of the first stream node that has one
  bool runningOutput = false;
  bool runningInput = false;
};

ClientAudio clientAudio(const Graph& graph, const Client& client) {
  ClientAudio audio;
  for (const auto& [id, node] : graph.nodes) {
    if (clientOf(graph, node) != &client || ownNode(node))
      continue;
    std::string mediaClass = prop(node.props, "media.class");
    bool output = mediaClass == "Stream/Output/Audio";
    bool input = mediaClass == "Stream/Input/Audio";
    if (!output && !input)
      continue;
    if (audio.streamAppId.empty())
      audio.streamAppId = prop(node.props, "application.id");
    if (node.state == "running")
      (output ? audio.runningOutput : audio.runningInput) = true;
  }
  return audio;
}

std::string identity(const Client& client, const ClientAudio& audio) {
  for (const std::string& candidate :
       {prop(client.props, "pipewire.access.portal.app_id"), audio.streamAppId,
        prop(client.props, "application.id"), prop(client.props, "application.process.binary"),
        prop(client.props, "application.name")})
    if (!candidate.empty())
      return candidate;
  return {};
}

std::vector<const Client*> clientsBySerial(const Graph& graph) {
  std::vector<const Client*> sorted;
  for (const auto& [id, client] : graph.clients)
    sorted.push_back(&client);
  std::sort(sorted.begin(), sorted.end(),
            [](const Client* a, const Client* b) { return a->serial < b->serial; });
  return sorted;
}

// -1 left, 1 right, 0 both.
int side(std::string channel) {
  if (size_t lfe = channel.find("LFE"); lfe != std::string::npos)
    channel.erase(lfe, 3);
  size_t last = channel.find_last_of("LR");
  if (last == std::string::npos)
    return 0;
  return channel[last] == 'L' ? -1 : 1;
}

} // namespace

std::string prop(const Props& props, const std::string& key) {
  auto it = props.find(key);
  return it == props.end() ? std::string() : it->second;
}

std::string transportName(const Graph& graph, const Node& node) {
  const Props* props = &node.props;
  bool hasDevice = false;
  if (std::optional<int64_t> id = number(prop(node.props, "device.id"))) {
    auto it = graph.devices.find(static_cast<uint32_t>(*id));
    if (it != graph.devices.end()) {
      props = &it->second.props;
      hasDevice = true;
    }
  }
  auto get = [&](const std::string& key) {
    std::string value = prop(*props, key);
    return value.empty() ? prop(node.props, key) : value;
  };
  std::string api = get("device.api");
  std::string bus = get("device.bus");
  if (api == "bluez5" || bus == "bluetooth")
    return "bluetooth";
  if (bus == "usb")
    return "usb";
  for (const char* key : {"device.profile.name", "device.profile.description", "node.name",
                          "api.alsa.pcm.name", "device.product.name"})
    if (contains(get(key), "hdmi"))
      return "hdmi";
  if (bus == "pci" || bus == "platform")
    return "built-in";
  if (!hasDevice && bus.empty())
    return "virtual";
  return bus.empty() ? "unknown" : bus;
}

namespace {

std::string displayName(const Node& node) {
  for (const char* key : {"node.description", "node.nick", "node.name"})
    if (std::string name = prop(node.props, key); !name.empty())
      return name;
  return {};
}

double nominalRate(const Graph& graph, const Node& node) {
  std::optional<int64_t> rate = number(prop(node.props, "audio.rate"));
  return rate && *rate > 0 ? static_cast<double>(*rate) : graph.clockRate;
}

} // namespace

std::vector<InputDevice> inputDevices(const Graph& graph) {
  std::vector<const Node*> sorted;
  for (const auto& [id, node] : graph.nodes)
    if (node.hasInfo && isInputClass(prop(node.props, "media.class")) && !ownNode(node))
      sorted.push_back(&node);
  std::sort(sorted.begin(), sorted.end(),
            [](const Node* a, const Node* b) { return a->serial < b->serial; });
  std::vector<InputDevice> devices;
  for (const Node* node : sorted) {
    InputDevice device;
    device.id = node->serial;
    device.uid = prop(node->props, "node.name");
    if (device.uid.empty())
      continue;
    device.name = displayName(*node);
    device.transport = transportName(graph, *node);
    device.nominalRate = nominalRate(graph, *node);
    std::optional<int64_t> channels = number(prop(node->props, "audio.channels"));
    if (!channels || *channels < 1)
      channels = static_cast<int64_t>(recordedPorts(graph, node->id).size());
    device.inputChannels = std::max<int64_t>(*channels, 1);
    devices.push_back(std::move(device));
  }
  return devices;
}

std::optional<uint32_t> defaultInputID(const Graph& graph) {
  if (!graph.defaultSource)
    return std::nullopt;
  for (const InputDevice& device : inputDevices(graph))
    if (device.uid == *graph.defaultSource)
      return device.id;
  return std::nullopt;
}

OutputDeviceInfo defaultOutput(const Graph& graph) {
  if (graph.defaultSink)
    for (const auto& [id, node] : graph.nodes)
      if (node.hasInfo && prop(node.props, "node.name") == *graph.defaultSink)
        return {*graph.defaultSink, displayName(node), nominalRate(graph, node)};
  return {};
}

namespace {

// Every client that is an application, in serial order, with its pid, identity and audio.
struct AppClient {
  const Client* client;
  int32_t pid;
  std::string identity;
  ClientAudio audio;
};

std::vector<AppClient> appClients(const Graph& graph, int32_t ownPid) {
  std::vector<AppClient> found;
  for (const Client* client : clientsBySerial(graph)) {
    int32_t pid = clientPid(*client);
    if (!client->hasInfo || pid == ownPid || serverComponent(*client))
      continue;
    ClientAudio audio = clientAudio(graph, *client);
    std::string id = identity(*client, audio);
    if (!id.empty())
      found.push_back({client, pid, std::move(id), audio});
  }
  return found;
}

} // namespace

std::vector<AudioProcessInfo> audioProcesses(const Graph& graph, int32_t ownPid) {
  std::vector<AudioProcessInfo> processes;
  for (AppClient& app : appClients(graph, ownPid))
    processes.push_back(AudioProcessInfo{.objectID = app.client->serial,
                                         .pid = app.pid,
                                         .bundleID = std::move(app.identity),
                                         .runningOutput = app.audio.runningOutput,
                                         .runningInput = app.audio.runningInput});
  return processes;
}

std::vector<RunningApplication> applications(const Graph& graph, int32_t ownPid) {
  std::vector<RunningApplication> apps;
  std::set<std::pair<int32_t, std::string>> seen;
  for (AppClient& app : appClients(graph, ownPid)) {
    if (!seen.emplace(app.pid, app.identity).second)
      continue;
    std::string name = prop(app.client->props, "application.name");
    apps.push_back(RunningApplication{.regular = true,
                                      .bundleID = app.identity,
                                      .pid = app.pid,
                                      .name = name.empty() ? app.identity : name});
  }
  return apps;
}

const Node* nodeBySerial(const Graph& graph, uint32_t serial) {
  for (const auto& [id, node] : graph.nodes)
    if (node.serial == serial)
      return &node;
  return nullptr;
}

std::vector<const Port*> recordedPorts(const Graph& graph, uint32_t node) {
  std::vector<const Port*> own = portsOf(graph, node, true);
  return own.empty() ? portsOf(graph, node, true, /*monitor=*/true) : own;
}

std::vector<PlannedLink> micLinks(const Graph& graph, uint32_t sourceNode, uint32_t captureNode) {
  std::vector<const Port*> outs = recordedPorts(graph, sourceNode);
  std::vector<const Port*> ins = portsOf(graph, captureNode, false);
  std::vector<PlannedLink> links;
  for (size_t i = 0; i < outs.size(); ++i) {
    const Port* target = nullptr;
    for (const Port* in : ins)
      if (in->channel == outs[i]->channel)
        target = in;
    if (!target && i < ins.size())
      target = ins[i];
    if (target)
      links.push_back({sourceNode, outs[i]->id, captureNode, target->id});
  }
  return links;
}

namespace {

// A stereo capture node's inputs, left then right; nothing unless it has both.
std::optional<std::pair<const Port*, const Port*>> stereoInputs(const Graph& graph,
                                                                uint32_t captureNode) {
  const Port* left = nullptr;
  const Port* right = nullptr;
  for (const Port* in : portsOf(graph, captureNode, false))
    (in->channel == "FR" ? right : left) = in;
  if (!left || !right)
    return std::nullopt;
  return std::pair{left, right};
}

// FL->FL, FR->FR, MONO and unsided channels to both, other channels to the nearer side.
void linkSides(const std::vector<const Port*>& outs, uint32_t node, uint32_t captureNode,
               std::pair<const Port*, const Port*> inputs, std::vector<PlannedLink>& links) {
  for (const Port* out : outs) {
    int s = side(out->channel);
    if (s <= 0)
      links.push_back({node, out->id, captureNode, inputs.first->id});
    if (s >= 0)
      links.push_back({node, out->id, captureNode, inputs.second->id});
  }
}

} // namespace

std::vector<PlannedLink> tapLinks(const Graph& graph, const std::vector<uint32_t>& clientSerials,
                                  uint32_t captureNode) {
  auto inputs = stereoInputs(graph, captureNode);
  if (!inputs)
    return {};
  std::set<uint32_t> wanted(clientSerials.begin(), clientSerials.end());
  std::vector<PlannedLink> links;
  for (const auto& [id, node] : graph.nodes) {
    const Client* client = clientOf(graph, node);
    if (!client || !wanted.contains(client->serial) || ownNode(node) ||
        prop(node.props, "media.class") != "Stream/Output/Audio")
      continue;
    linkSides(portsOf(graph, node.id, true), node.id, captureNode, *inputs, links);
  }
  return links;
}

std::vector<PlannedLink> monitorLinks(const Graph& graph, uint32_t captureNode) {
  auto inputs = stereoInputs(graph, captureNode);
  if (!inputs || !graph.defaultSink)
    return {};
  std::vector<PlannedLink> links;
  for (const auto& [id, node] : graph.nodes)
    if (!ownNode(node) && prop(node.props, "node.name") == *graph.defaultSink &&
        prop(node.props, "media.class").starts_with("Audio/Sink")) {
      linkSides(portsOf(graph, node.id, true, /*monitor=*/true), node.id, captureNode, *inputs,
                links);
      break;
    }
  return links;
}

} // namespace va::pw
