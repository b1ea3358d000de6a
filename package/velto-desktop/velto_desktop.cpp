// Stand-in for the Velto desktop application that the package installs. It honours the contracts
// the setup program relies on and nothing more:
//   - a running instance owns com.velto.desktop.handoff on the session bus as a GApplication that
//     handles command lines, so it serves org.gtk.Application.CommandLine there;
//   - each running instance keeps a lifecycle record in velto/logs/lifecycle under the data home,
//     closed with "endedAt", "kind" and "exitCode" when the instance ends;
//   - a remote --request-idle-update-exit is answered 0 and the instance then ends, or 21 while it
//     is busy (--busy marks it so, --idle clears it, locally or through a running instance);
//   - --restart-after-install starts a new instance detached and exits 0, 20 (a running instance
//     that cannot be asked to exit), 21 (busy) or 22 (failure) without waiting for that instance.
#include <fcntl.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/fd.h"
#include "base/io.h"
#include "scripts/exit_statuses.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kApplicationId = "com.velto.desktop.handoff";
constexpr const char* kVersion = VELTO_PACKAGE_VERSION;  // the version of the package it is in
constexpr const char* kRestartCommandLinePath = "/com/velto/desktop/restart";
constexpr std::string_view kRequestIdleUpdateExit = "--request-idle-update-exit";
constexpr std::string_view kRestartAfterInstall = "--restart-after-install";
constexpr std::string_view kBusy = "--busy";
constexpr std::string_view kIdle = "--idle";

// Exit codes of the restart option, shared with the setup program's preflight.
constexpr int kRestarted = velto::exit_status::kSuccess;
constexpr int kLegacy = velto::exit_status::kLegacy;
constexpr int kBusyCode = velto::exit_status::kBusy;
constexpr int kFailure = velto::exit_status::kFailure;

// Records of ended instances kept for diagnosis. Older ones are removed, so that the directory
// stays far below the 1024 entries that the setup program's preflight examines.
constexpr std::size_t kEndedRecordsKept = 16;
constexpr off_t kRecordReadLimit = 4096;

constexpr gint64 kBusCallMillis = 10'000;
constexpr gint64 kOldInstanceExitMicros = 30 * G_USEC_PER_SEC;
constexpr gint64 kNewInstanceStartMicros = 10 * G_USEC_PER_SEC;
constexpr gulong kPollMicros = 50'000;

std::int64_t now_millis() noexcept { return g_get_real_time() / 1000; }

// Where the setup program's preflight looks: XDG_DATA_HOME taken unchanged, else
// ~/.local/share.
std::string lifecycle_directory() {
  const char* data_home = std::getenv("XDG_DATA_HOME");
  g_autofree char* path = data_home != nullptr
                              ? g_build_filename(data_home, "velto", "logs", "lifecycle", nullptr)
                              : g_build_filename(g_get_home_dir(), ".local", "share", "velto",
                                                 "logs", "lifecycle", nullptr);
  return path;
}

// The text of a small regular file, never following a link or blocking on a FIFO.
std::optional<std::string> read_small_file(const std::string& path) {
  const velto::Fd fd(
      ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size > kRecordReadLimit) {
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(kRecordReadLimit), '\0');
  const ssize_t filled = velto::read_up_to(fd.get(), text.data(), text.size());
  if (filled < 0) return std::nullopt;
  text.resize(static_cast<std::size_t>(filled));
  return text;
}

bool process_exists(std::int64_t pid) noexcept {
  if (pid <= 0 || pid > INT32_MAX) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Removes the records of ended instances beyond the newest few. An instance that never closed
// its record (it was killed) counts as ended once its process is gone.
void prune_ended_records(const std::string& directory) {
  g_autoptr(GDir) dir = g_dir_open(directory.c_str(), 0, nullptr);
  if (dir == nullptr) return;
  struct Ended {
    std::string path;
    std::int64_t started_at;
  };
  std::vector<Ended> ended;
  while (const char* name = g_dir_read_name(dir)) {
    if (!g_str_has_suffix(name, ".json")) continue;
    std::string path = directory + "/" + name;
    const std::optional<std::string> text = read_small_file(path);
    if (!text) continue;
    const Json record = Json::parse(*text, nullptr, false);
    if (!record.is_object()) continue;
    const auto started = record.find("startedAt");
    const auto ended_at = record.find("endedAt");
    const auto pid = record.find("pid");
    if (started == record.end() || !started->is_number_integer()) continue;
    const bool closed = ended_at != record.end() && !ended_at->is_null();
    const bool orphaned = pid != record.end() && pid->is_number_integer() &&
                          !process_exists(pid->get<std::int64_t>());
    if (closed || orphaned) ended.push_back({std::move(path), started->get<std::int64_t>()});
  }
  if (ended.size() <= kEndedRecordsKept) return;
  std::sort(ended.begin(), ended.end(),
            [](const Ended& a, const Ended& b) { return a.started_at > b.started_at; });
  for (std::size_t i = kEndedRecordsKept; i < ended.size(); ++i) g_unlink(ended[i].path.c_str());
}

// The lifecycle record of this running instance.
class LifecycleRecord {
 public:
  // Writes the open record; nothing when the directory or the file cannot be written.
  static std::unique_ptr<LifecycleRecord> open() {
    const std::string directory = lifecycle_directory();
    if (g_mkdir_with_parents(directory.c_str(), 0700) != 0) return nullptr;
    prune_ended_records(directory);
    g_autofree char* instance = g_uuid_string_random();
    std::unique_ptr<LifecycleRecord> record(
        new LifecycleRecord(directory + "/" + instance + ".json", instance));
    if (!record->write(record->fields_)) return nullptr;
    return record;
  }

  LifecycleRecord(const LifecycleRecord&) = delete;
  LifecycleRecord& operator=(const LifecycleRecord&) = delete;

  void close(std::string_view kind, int exit_code) {
    Json closed = fields_;
    closed["endedAt"] = now_millis();
    closed["kind"] = kind;
    closed["exitCode"] = exit_code;
    write(closed);
  }

 private:
  LifecycleRecord(std::string path, const char* instance)
      : path_(std::move(path)),
        fields_{{"schemaVersion", 1},
                {"instance", instance},
                {"pid", static_cast<std::int64_t>(::getpid())},
                {"version", kVersion},
                {"startedAt", now_millis()}} {}

  // Replaces the file whole (a temporary file renamed over it), so a reader never sees half a
  // record; the temporary name does not end in ".json".
  bool write(const Json& fields) const {
    const std::string text = fields.dump() + "\n";
    g_autoptr(GError) error = nullptr;
    return g_file_set_contents_full(path_.c_str(), text.data(), static_cast<gssize>(text.size()),
                                    G_FILE_SET_CONTENTS_CONSISTENT, 0600, &error) != FALSE;
  }

  std::string path_;
  Json fields_;
};

// A main-loop source that goes away with its owner.
class SourceId {
 public:
  explicit SourceId(guint id) noexcept : id_(id) {}
  SourceId(SourceId&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
  SourceId(const SourceId&) = delete;
  SourceId& operator=(const SourceId&) = delete;
  SourceId& operator=(SourceId&&) = delete;
  ~SourceId() {
    if (id_ != 0) g_source_remove(id_);
  }

 private:
  guint id_;
};

// Applies the busy words of a command line: --busy marks the instance busy, --idle clears it.
void apply_busy_word(std::string_view argument, bool& busy) noexcept {
  if (argument == kBusy) busy = true;
  if (argument == kIdle) busy = false;
}

// The primary instance: its record, its busy state and the way it ends.
class DesktopInstance {
 public:
  // busy is the state a primary instance starts in. Its own command line arrives only after
  // start-up, when its record already shows it running, so it must not wait for that.
  DesktopInstance(GApplication* application, bool busy) noexcept
      : application_(application), busy_(busy) {}
  DesktopInstance(const DesktopInstance&) = delete;
  DesktopInstance& operator=(const DesktopInstance&) = delete;
  ~DesktopInstance() { g_signal_handlers_disconnect_by_data(application_, this); }

  void start() {
    // Handlers first: once the record exists, a signal must end the instance with its record
    // closed.
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
      signal_sources_.emplace_back(g_unix_signal_add(signal_number, on_signal, this));
    }
    record_ = LifecycleRecord::open();
    if (!record_) g_printerr("velto-desktop: cannot write the lifecycle record\n");
  }

  int handle(GApplicationCommandLine* command_line) {
    int argc = 0;
    g_auto(GStrv) argv = g_application_command_line_get_arguments(command_line, &argc);
    bool request_exit = false;
    for (int i = 1; i < argc; ++i) {
      const std::string_view argument = argv[i];
      apply_busy_word(argument, busy_);
      if (argument == kRequestIdleUpdateExit) request_exit = true;
    }
    if (request_exit) {
      if (busy_) return kBusyCode;
      end_kind_ = "update-exit";
      // The reply goes out when the command line object is released after this handler; the
      // application flushes its connection before it ends.
      g_application_quit(application_);
      return 0;
    }
    if (!g_application_command_line_get_is_remote(command_line) && !held_) {
      g_application_hold(application_);
      held_ = true;
    }
    return 0;
  }

  void finish() {
    signal_sources_.clear();
    if (record_) record_->close(end_kind_, 0);
    record_.reset();
  }

 private:
  static gboolean on_signal(gpointer data) noexcept {
    auto* self = static_cast<DesktopInstance*>(data);
    self->end_kind_ = "signal";
    g_application_quit(self->application_);
    return G_SOURCE_CONTINUE;
  }

  GApplication* application_;  // owned by run_application, which outlives this object
  std::unique_ptr<LifecycleRecord> record_;
  std::vector<SourceId> signal_sources_;
  const char* end_kind_ = "exit";
  bool busy_;
  bool held_ = false;
};

void on_startup(GApplication*, gpointer data) noexcept {
  try {
    static_cast<DesktopInstance*>(data)->start();
  } catch (...) {
    g_printerr("velto-desktop: start-up failed\n");
  }
}

int on_command_line(GApplication*, GApplicationCommandLine* command_line, gpointer data) noexcept {
  try {
    return static_cast<DesktopInstance*>(data)->handle(command_line);
  } catch (...) {
    return kFailure;
  }
}

void on_shutdown(GApplication*, gpointer data) noexcept {
  try {
    static_cast<DesktopInstance*>(data)->finish();
  } catch (...) {
    g_printerr("velto-desktop: cannot close the lifecycle record\n");
  }
}

int run_application(int argc, char** argv) {
  g_autoptr(GApplication) application =
      g_application_new(kApplicationId, G_APPLICATION_HANDLES_COMMAND_LINE);
  bool busy = false;
  for (int i = 1; i < argc; ++i) apply_busy_word(argv[i], busy);
  DesktopInstance instance(application, busy);
  g_signal_connect(application, "startup", G_CALLBACK(on_startup), &instance);
  g_signal_connect(application, "command-line", G_CALLBACK(on_command_line), &instance);
  g_signal_connect(application, "shutdown", G_CALLBACK(on_shutdown), &instance);
  return g_application_run(application, argc, argv);
}

// ---- --restart-after-install --------------------------------------------------------------

// The unique name of the running instance, an empty string when none runs, nothing on failure.
std::optional<std::string> instance_owner(GDBusConnection* bus) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
      g_variant_new("(s)", kApplicationId), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
      kBusCallMillis, nullptr, &error);
  if (reply == nullptr) {
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) return "";
    return std::nullopt;
  }
  const char* owner = nullptr;
  g_variant_get(reply, "(&s)", &owner);
  return owner;
}

// Asks the running instance to exit when idle, the way the setup program's preflight does.
int ask_to_exit(GDBusConnection* bus, const std::string& owner) {
  // Floating values: the call's parameter tuple takes them over.
  std::array<GVariant*, 2> words{g_variant_new_bytestring("velto-desktop"),
                                 g_variant_new_bytestring(kRequestIdleUpdateExit.data())};
  GVariant* parameters =
      g_variant_new("(o@aay@a{sv})", kRestartCommandLinePath,
                    g_variant_new_array(G_VARIANT_TYPE_BYTESTRING, words.data(), words.size()),
                    g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0));
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, owner.c_str(), "/com/velto/desktop/handoff", "org.gtk.Application", "CommandLine",
      parameters, G_VARIANT_TYPE("(i)"), G_DBUS_CALL_FLAGS_NONE, kBusCallMillis, nullptr, &error);
  if (reply == nullptr) {
    // An instance that does not serve the request is an older one.
    const bool unknown = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
                         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE) ||
                         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT);
    return unknown ? kLegacy : kFailure;
  }
  gint32 status = 0;
  g_variant_get(reply, "(i)", &status);
  return status == 0 ? kRestarted : kBusyCode;
}

// Polls until an instance runs (or none does), within a time limit.
bool wait_for_instance(GDBusConnection* bus, bool running, gint64 limit_micros) {
  const gint64 deadline = g_get_monotonic_time() + limit_micros;
  for (;;) {
    const std::optional<std::string> owner = instance_owner(bus);
    if (owner && owner->empty() != running) return true;
    if (g_get_monotonic_time() >= deadline) return false;
    g_usleep(kPollMicros);
  }
}

void start_new_session(gpointer) noexcept { ::setsid(); }

// Starts this executable as a new instance that belongs neither to the caller's process tree
// (GLib forks twice) nor to its session, with null standard streams, so the caller never waits.
bool spawn_detached_instance() {
  g_autofree char* self = g_file_read_link("/proc/self/exe", nullptr);
  if (self == nullptr) return false;
  std::array<char*, 2> argv{self, nullptr};
  g_autoptr(GError) error = nullptr;
  const auto flags = static_cast<GSpawnFlags>(
      G_SPAWN_STDIN_FROM_DEV_NULL | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
  return g_spawn_async(nullptr, argv.data(), nullptr, flags, start_new_session, nullptr, nullptr,
                       &error) != FALSE;
}

int restart_after_install() {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) return kFailure;
  const std::optional<std::string> owner = instance_owner(bus);
  if (!owner) return kFailure;
  if (!owner->empty()) {
    const int answer = ask_to_exit(bus, *owner);
    if (answer != kRestarted) return answer;
    if (!wait_for_instance(bus, false, kOldInstanceExitMicros)) return kBusyCode;
  }
  if (!spawn_detached_instance()) return kFailure;
  return wait_for_instance(bus, true, kNewInstanceStartMicros) ? kRestarted : kFailure;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--version") {
      std::printf("velto-desktop %s\n", kVersion);
      return 0;
    }
    if (argument == kRestartAfterInstall) {
      try {
        return restart_after_install();
      } catch (...) {
        return kFailure;
      }
    }
  }
  return run_application(argc, argv);
}
