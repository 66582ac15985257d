#include <gio/gio.h>

#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/location.h"
#include "platform/notifications.h"

namespace platform {
namespace {

constexpr std::size_t kQueued = 20;  // notifications kept while the bus is being reached
constexpr int kShownMs = 10000;
constexpr int kCallMs = 5000;  // a server that does not answer a Notify in this is hung

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";

struct Waiting {
  std::string summary, body;
  std::function<void()> onClick;
};

// All bus traffic is on a thread of its own with its own main context: reaching the bus may
// stall on a daemon that hangs, and the program's loop is not glib's everywhere.
class DbusNotifications : public Notifications {
 public:
  DbusNotifications(std::string appName, PostToLoop post)
      : appName_(std::move(appName)), post_(std::move(post)) {
    if (!SessionBusKnown()) {
      unreachable_ = true;
      return;
    }
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    cancel_ = g_cancellable_new();
    thread_ = std::thread([this] { Run(); });
  }
  ~DbusNotifications() override {
    if (!thread_.joinable()) return;
    g_cancellable_cancel(cancel_);
    // Through the context, so that a loop not yet running still ends once it runs.
    g_main_context_invoke(context_, &DbusNotifications::Quit, loop_);
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    g_object_unref(cancel_);
  }

  void Notify(const std::string& summary, const std::string& body,
              std::function<void()> onClick) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unreachable_) return;
    if (waiting_.size() < kQueued) waiting_.push_back({summary, body, std::move(onClick)});
    if (bus_ != nullptr) g_main_context_invoke(context_, &DbusNotifications::SendWaiting, this);
  }

 private:
  void Run() {
    g_main_context_push_thread_default(context_);
    // The address as the environment gives it now: GIO's shared connection keeps the first.
    GError* error = nullptr;
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    gchar* found = address != nullptr && *address != '\0'
                       ? g_strdup(address)
                       : g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, cancel_, &error);
    GDBusConnection* bus =
        found == nullptr
            ? nullptr
            : g_dbus_connection_new_for_address_sync(
                  found,
                  static_cast<GDBusConnectionFlags>(
                      G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                      G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                  nullptr, cancel_, &error);
    g_free(found);
    g_clear_error(&error);
    if (bus == nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      unreachable_ = true;
      waiting_.clear();
      g_main_context_pop_thread_default(context_);
      return;
    }
    const guint clicks = g_dbus_connection_signal_subscribe(
        bus, kService, kService, nullptr, kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &DbusNotifications::Signalled, this, nullptr);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      bus_ = bus;
    }
    SendWaiting(this);
    g_main_loop_run(loop_);
    g_dbus_connection_signal_unsubscribe(bus, clicks);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      bus_ = nullptr;
    }
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    g_main_context_pop_thread_default(context_);
  }

  static gboolean Quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
  }

  static gboolean SendWaiting(gpointer data) {
    auto* self = static_cast<DbusNotifications*>(data);
    std::deque<Waiting> sending;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      sending.swap(self->waiting_);
    }
    for (Waiting& w : sending) self->Send(w);
    return G_SOURCE_REMOVE;
  }

  void Send(Waiting& w) {
    GVariantBuilder actions, hints;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    if (w.onClick) {
      // "default" is the action of a click on the notification itself.
      g_variant_builder_add(&actions, "s", "default");
      g_variant_builder_add(&actions, "s", "Show Parlavant");
    }
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("parlavant"));
    GVariant* call = g_variant_new("(susssasa{sv}i)", appName_.c_str(), 0u, "parlavant",
                                   w.summary.c_str(), w.body.c_str(), &actions, &hints, kShownMs);
    GVariant* reply = g_dbus_connection_call_sync(bus_, kService, kPath, kService, "Notify", call,
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
                                                  kCallMs, cancel_, nullptr);
    if (reply == nullptr) return;
    guint32 id = 0;
    g_variant_get(reply, "(u)", &id);
    g_variant_unref(reply);
    if (w.onClick) actions_[id] = std::move(w.onClick);
  }

  static void Signalled(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                        const gchar* name, GVariant* parameters, gpointer data) {
    auto* self = static_cast<DbusNotifications*>(data);
    guint32 id = 0;
    if (g_strcmp0(name, "NotificationClosed") == 0 &&
        g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
      guint32 reason = 0;
      g_variant_get(parameters, "(uu)", &id, &reason);
      self->actions_.erase(id);
      return;
    }
    if (g_strcmp0(name, "ActionInvoked") != 0 ||
        !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)")))
      return;
    const gchar* key = nullptr;
    g_variant_get(parameters, "(u&s)", &id, &key);
    const auto it = self->actions_.find(id);
    if (it == self->actions_.end() || g_strcmp0(key, "default") != 0) return;
    self->post_(std::move(it->second));
    self->actions_.erase(it);
  }

  const std::string appName_;
  const PostToLoop post_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GCancellable* cancel_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  GDBusConnection* bus_ = nullptr;  // set and used on the thread; under the mutex for Notify
  bool unreachable_ = false;
  std::deque<Waiting> waiting_;
  std::map<guint32, std::function<void()>> actions_;  // the thread's own
};

}  // namespace

std::unique_ptr<Notifications> DesktopNotifications(const std::string& appName, PostToLoop post) {
  return std::make_unique<DbusNotifications>(appName, std::move(post));
}

}  // namespace platform
