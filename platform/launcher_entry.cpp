#include "platform/launcher_entry.h"

#include <gio/gio.h>

#include <cmath>

#include "platform/session_bus.h"

namespace lumaro::platform {

namespace {

constexpr const char* kObjectPath = "/com/canonical/unity/launcherentry/lumaro";
constexpr const char* kInterface = "com.canonical.Unity.LauncherEntry";

class DBusLauncherEntry final : public LauncherEntry {
  public:
    explicit DBusLauncherEntry(std::string desktopId) : uri_("application://" + std::move(desktopId)) {}
    ~DBusLauncherEntry() override {
        if (connection_ != nullptr) {
            g_object_unref(connection_);
        }
    }

    void showProgress(std::optional<double> fraction) override {
        // Docks redraw on each signal: steps below half a per cent are not worth one.
        if (fraction.has_value() == shown_.has_value() &&
            (!fraction || std::fabs(*fraction - *shown_) < 0.005)) {
            return;
        }
        if (!connect()) {
            return;
        }
        shown_ = fraction;
        GVariantBuilder properties;
        g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&properties, "{sv}", "progress", g_variant_new_double(fraction.value_or(0.0)));
        g_variant_builder_add(&properties, "{sv}", "progress-visible",
                              g_variant_new_boolean(fraction.has_value()));
        // Without a destination: a broadcast every listener on the bus may read; never waits.
        g_dbus_connection_emit_signal(connection_, nullptr, kObjectPath, kInterface, "Update",
                                      g_variant_new("(sa{sv})", uri_.c_str(), &properties), nullptr);
    }

  private:
    bool connect() {
        if (!tried_) {
            tried_ = true;
            if (sessionBusExists()) {
                connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
            }
        }
        return connection_ != nullptr;
    }

    const std::string uri_;
    bool tried_ = false;
    GDBusConnection* connection_ = nullptr;
    std::optional<double> shown_;
};

}  // namespace

std::unique_ptr<LauncherEntry> makeLauncherEntry(const std::string& desktopId) {
    return std::make_unique<DBusLauncherEntry>(desktopId);
}

}  // namespace lumaro::platform
