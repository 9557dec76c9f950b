#include "platform/portal/screencast_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>

#include <systemd/sd-bus.h>

#include "base/wakeup.h"

namespace pelorin::platform::portal {
namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* screenCast = "org.freedesktop.portal.ScreenCast";
constexpr std::uint32_t monitorSource = 1;
constexpr std::uint32_t windowSource = 2;
constexpr std::uint32_t cursorHidden = 1;
constexpr std::uint32_t cursorEmbedded = 2;
constexpr std::uint32_t persistUntilRevoked = 2;
constexpr std::chrono::milliseconds setupTimeout{10000};

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

Error portalError(const std::string& what, int status) {
  return Error{"PortalCapture", status, "screencast portal " + what + ": " + std::strerror(-status)};
}

// The error of a failed call; frees `error`.
Error callFailure(const std::string& what, sd_bus_error& error) {
  Error failure{"PortalCapture", -1, "screencast portal " + what + ": " + (error.message ? error.message : "failed")};
  sd_bus_error_free(&error);
  return failure;
}

Result<Bus> openBus() {
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_user(&bus);
  if (r < 0) return portalError("session bus", r);
  Bus owned(bus);
  sd_bus_set_method_call_timeout(bus, std::chrono::microseconds(setupTimeout).count());
  return owned;
}

// Object path elements allow only [A-Za-z0-9_].
std::string freshToken() {
  static std::atomic<unsigned> counter{0};
  return "pelorin" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

// Walks an a{sv} dictionary; `read` consumes the value of the keys it knows and returns false
// for the others, which are skipped.
int readDictionary(sd_bus_message* m, const std::function<bool(std::string_view key)>& read) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    if (!read(key) && (r = sd_bus_message_skip(m, "v")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

// A string or object-path variant: the portals disagree on which the session handle is.
bool readText(sd_bus_message* m, std::string& out) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) < 0 || !contents) return false;
  if (std::string_view(contents) != "s" && std::string_view(contents) != "o") return false;
  const char* text = nullptr;
  if (sd_bus_message_read(m, "v", contents, &text) < 0) return false;
  out = text;
  return true;
}

int readStreams(sd_bus_message* m, std::vector<PortalStream>& streams) {
  int r = sd_bus_message_enter_container(m, 'v', "a(ua{sv})");
  if (r < 0 || (r = sd_bus_message_enter_container(m, 'a', "(ua{sv})")) < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
    PortalStream stream;
    if ((r = sd_bus_message_read(m, "u", &stream.nodeId)) < 0) return r;
    r = readDictionary(m, [&](std::string_view key) {
      int a = 0, b = 0;
      if (key == "source_type") {
        std::uint32_t type = 0;
        if (sd_bus_message_read(m, "v", "u", &type) < 0) return false;
        stream.window = type == windowSource;
        return true;
      }
      if (key != "position" && key != "size") return false;
      if (sd_bus_message_read(m, "v", "(ii)", &a, &b) < 0) return false;
      (key == "position" ? stream.position : stream.size) = std::make_pair(a, b);
      return true;
    });
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    streams.push_back(stream);
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  return sd_bus_message_exit_container(m);
}

int onResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
  *static_cast<Message*>(userdata) = Message(sd_bus_message_ref(m));
  return 0;
}

// The source types the portal offers; nothing, with `error` set, when it does not answer.
std::optional<std::uint32_t> availableSourceTypes(sd_bus* bus, sd_bus_error& error) {
  std::uint32_t types = 0;
  if (sd_bus_get_property_trivial(bus, portalName, portalPath, screenCast, "AvailableSourceTypes", &error, 'u', &types) < 0) {
    return std::nullopt;
  }
  return types;
}

}  // namespace

struct ScreenCastSession::Impl {
  Bus bus;
  const Wakeup* abandon = nullptr;
  std::string sessionHandle;
  std::vector<PortalStream> streams;
  std::string restoreToken;
  bool offersWindows = false;

  // Where the portal puts the Request object of a call with `token`: named after this connection.
  Result<std::string> requestPath(const std::string& token) {
    const char* unique = nullptr;
    const int r = sd_bus_get_unique_name(bus.get(), &unique);
    if (r < 0) return portalError("unique name", r);
    std::string sender(unique + 1);  // without the ':'
    std::replace(sender.begin(), sender.end(), '.', '_');
    return std::string(portalPath) + "/request/" + sender + "/" + token;
  }

  // Calls `method` with the arguments `append` adds, then the options (`handle_token` and what
  // `options` adds), and waits for its Request's Response; the response's results on success.
  Result<Message> request(const char* method, const std::function<int(sd_bus_message*)>& append,
                          const std::function<int(sd_bus_message*)>& options, std::chrono::milliseconds timeout) {
    const std::string token = freshToken();
    Result<std::string> path = requestPath(token);
    if (!path) return path.error();
    // Subscribed before the call: the response may come before the call's reply.
    Message response;
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(bus.get(), &slot, nullptr, path->c_str(), "org.freedesktop.portal.Request", "Response",
                            onResponse, &response);
    if (r < 0) return portalError(std::string(method) + " subscription", r);
    std::unique_ptr<sd_bus_slot, sd_bus_slot* (*)(sd_bus_slot*)> slotOwner(slot, sd_bus_slot_unref);

    sd_bus_message* call = nullptr;
    r = sd_bus_message_new_method_call(bus.get(), &call, portalName, portalPath, screenCast, method);
    Message callOwner(call);
    if (r >= 0) r = append(call);
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_append(call, "{sv}", "handle_token", "s", token.c_str());
    if (r >= 0) r = options(call);
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r < 0) return portalError(method, r);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus.get(), call, 0, &error, &reply);
    Message replyOwner(reply);
    if (r < 0) return callFailure(method, error);
    return awaitResponse(method, response, timeout);
  }

  Result<Message> awaitResponse(const char* method, Message& response, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!response) {
      int r = sd_bus_process(bus.get(), nullptr);
      if (r < 0) return portalError(method, r);
      if (r > 0) continue;
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        return Error{"PortalCapture", -1, std::string("screencast portal ") + method + ": no answer in time"};
      }
      if (abandon) {
        const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
        if (abandon->waitForInput(sd_bus_get_fd(bus.get()), ms) == Wakeup::Waited::woken) {
          return Error{"PortalCapture", chooserCancelled, std::string("screencast portal ") + method + ": abandoned"};
        }
        continue;
      }
      r = sd_bus_wait(bus.get(), std::chrono::duration_cast<std::chrono::microseconds>(left).count());
      if (r < 0 && r != -EINTR) return portalError(method, r);
    }
    std::uint32_t code = 2;
    const int r = sd_bus_message_read(response.get(), "u", &code);
    if (r < 0) return portalError(method, r);
    if (code == chooserCancelled) {
      return Error{"PortalCapture", chooserCancelled, std::string("screencast portal ") + method + ": cancelled"};
    }
    if (code != 0) return Error{"PortalCapture", code, std::string("screencast portal ") + method + ": refused"};
    return std::move(response);
  }

  Result<void> create() {
    const std::string sessionToken = freshToken();
    auto results = request(
        "CreateSession", [](sd_bus_message*) { return 0; },
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", sessionToken.c_str()); },
        setupTimeout);
    if (!results) return results.error();
    const int r = readDictionary(results->get(), [&](std::string_view key) {
      return key == "session_handle" && readText(results->get(), sessionHandle);
    });
    if (r < 0 || sessionHandle.empty()) return Error{"PortalCapture", -1, "screencast portal gave no session"};
    return {};
  }

  Result<void> selectSources(const SessionOptions& options) {
    // Asking for a type the portal lacks fails the whole call.
    sd_bus_error error = SD_BUS_ERROR_NULL;
    offersWindows = options.offerWindows && (availableSourceTypes(bus.get(), error).value_or(0) & windowSource);
    sd_bus_error_free(&error);
    const std::uint32_t types = monitorSource | (offersWindows ? windowSource : 0);
    auto results = request(
        "SelectSources", [&](sd_bus_message* m) { return sd_bus_message_append(m, "o", sessionHandle.c_str()); },
        [&](sd_bus_message* m) {
          int r = sd_bus_message_append(m, "{sv}{sv}{sv}", "types", "u", types, "multiple", "b", options.persistent,
                                        "cursor_mode", "u", options.embedCursor ? cursorEmbedded : cursorHidden);
          if (r >= 0 && options.persistent) r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", persistUntilRevoked);
          if (r >= 0 && !options.restoreToken.empty()) {
            r = sd_bus_message_append(m, "{sv}", "restore_token", "s", options.restoreToken.c_str());
          }
          return r;
        },
        std::max(setupTimeout, options.startTimeout));
    return results ? Result<void>() : Result<void>(results.error());
  }

  Result<void> startStreams(std::chrono::milliseconds timeout) {
    auto results = request(
        "Start", [&](sd_bus_message* m) { return sd_bus_message_append(m, "os", sessionHandle.c_str(), ""); },
        [](sd_bus_message*) { return 0; }, timeout);
    if (!results) return results.error();
    sd_bus_message* m = results->get();
    const int r = readDictionary(m, [&](std::string_view key) {
      if (key == "streams") return readStreams(m, streams) >= 0;
      return key == "restore_token" && readText(m, restoreToken);
    });
    if (r < 0) return portalError("Start results", r);
    if (streams.empty()) return Error{"PortalCapture", -1, "screencast portal started no stream"};
    for (PortalStream& stream : streams) stream.window = stream.window && offersWindows;
    return {};
  }
};

ScreenCastSession::ScreenCastSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ScreenCastSession::~ScreenCastSession() {
  if (impl_->sessionHandle.empty()) return;
  // Sent without waiting for a reply (the connection's close flushes it): a portal that has gone
  // away must not hold up the end of a run. The connection's end would close the session too.
  sd_bus_message* close = nullptr;
  if (sd_bus_message_new_method_call(impl_->bus.get(), &close, portalName, impl_->sessionHandle.c_str(),
                                     "org.freedesktop.portal.Session", "Close") < 0) {
    return;
  }
  Message owner(close);
  sd_bus_message_set_expect_reply(close, 0);
  sd_bus_send(impl_->bus.get(), close, nullptr);
}

Result<void> ScreenCastSession::probe() {
  Result<Bus> bus = openBus();
  if (!bus) return bus.error();
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const std::optional<std::uint32_t> types = availableSourceTypes(bus->get(), error);
  if (!types) return callFailure("unavailable", error);
  if (!(*types & monitorSource)) return Error{"PortalCapture", -1, "screencast portal offers no monitor"};
  return {};
}

Result<std::unique_ptr<ScreenCastSession>> ScreenCastSession::start(const SessionOptions& options) {
  Result<Bus> bus = openBus();
  if (!bus) return bus.error();
  auto impl = std::make_unique<Impl>();
  impl->bus = std::move(*bus);
  impl->abandon = options.abandon;
  std::unique_ptr<ScreenCastSession> session(new ScreenCastSession(std::move(impl)));
  Impl& s = *session->impl_;
  if (auto r = s.create(); !r) return r.error();
  if (auto r = s.selectSources(options); !r) return r.error();
  if (auto r = s.startStreams(options.startTimeout); !r) return r.error();
  return session;
}

const std::vector<PortalStream>& ScreenCastSession::streams() const { return impl_->streams; }

const std::string& ScreenCastSession::restoreToken() const { return impl_->restoreToken; }

Result<int> ScreenCastSession::openPipeWireRemote() {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(impl_->bus.get(), portalName, portalPath, screenCast, "OpenPipeWireRemote", &error,
                             &reply, "oa{sv}", impl_->sessionHandle.c_str(), 0);
  Message owner(reply);
  if (r < 0) return callFailure("OpenPipeWireRemote", error);
  int fd = -1;
  if ((r = sd_bus_message_read(reply, "h", &fd)) < 0) return portalError("OpenPipeWireRemote", r);
  // The message owns its descriptor.
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return portalError("OpenPipeWireRemote", -errno);
  return own;
}

std::optional<PortalStream> streamForMonitor(const std::vector<PortalStream>& streams, const Rect& frame) {
  const auto sizeMatches = [&](const PortalStream& s) {
    return s.size && s.size->first == std::lround(frame.width) && s.size->second == std::lround(frame.height);
  };
  for (const PortalStream& s : streams) {
    if (s.position && sizeMatches(s) && s.position->first == std::lround(frame.x) &&
        s.position->second == std::lround(frame.y)) {
      return s;
    }
  }
  std::optional<PortalStream> found;
  for (const PortalStream& s : streams) {
    if (s.position || !sizeMatches(s)) continue;
    if (found) return std::nullopt;  // two monitors of that size: cannot tell which
    found = s;
  }
  return found;
}

}  // namespace pelorin::platform::portal
