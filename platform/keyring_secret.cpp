#include <libsecret/secret.h>
#include <string>

#include "platform/keyring.h"
#include "platform/location.h"

namespace platform {
namespace {

const SecretSchema* Schema() {
  static const SecretSchema schema = {
      "org.parlavant.Account",
      SECRET_SCHEMA_NONE,
      {{"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      0,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr};
  return &schema;
}

// The D-Bus errors that mean nobody on the bus keeps secrets, as against a keyring that said no.
bool MeansNoService(const GError* error) {
  if (error->domain == G_IO_ERROR) return true;  // the bus itself cannot be reached
  return error->domain == G_DBUS_ERROR && (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN ||
                                           error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
                                           error->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND ||
                                           error->code == G_DBUS_ERROR_NO_SERVER);
}

KeyringAnswer Answer(GError* error) {
  // libsecret keeps its connection to the service for the process's life; a keyring daemon that
  // was restarted (or a session bus that was) would leave it answering nothing.
  secret_service_disconnect();
  KeyringAnswer answer;
  if (error == nullptr) {
    answer.ok = true;
    return answer;
  }
  answer.available = !MeansNoService(error);
  answer.error = error->message != nullptr ? error->message : "the keyring failed";
  g_error_free(error);
  return answer;
}

KeyringAnswer NoBus() {
  return {false, false, "there is no session message bus to reach a keyring on"};
}

}  // namespace

std::optional<std::string> KeyringLookup(const std::string& account, KeyringAnswer& answer) {
  if (!SessionBusKnown()) {
    answer = NoBus();
    return std::nullopt;
  }
  GError* error = nullptr;
  gchar* secret =
      secret_password_lookup_sync(Schema(), nullptr, &error, "account", account.c_str(), nullptr);
  answer = Answer(error);
  if (secret == nullptr) return std::nullopt;
  std::string password(secret);
  secret_password_free(secret);
  return password;
}

KeyringAnswer KeyringStore(const std::string& account, const std::string& label,
                           const std::string& password) {
  if (!SessionBusKnown()) return NoBus();
  GError* error = nullptr;
  secret_password_store_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(),
                             nullptr, &error, "account", account.c_str(), nullptr);
  return Answer(error);
}

KeyringAnswer KeyringForget(const std::string& account) {
  if (!SessionBusKnown()) return NoBus();
  GError* error = nullptr;
  secret_password_clear_sync(Schema(), nullptr, &error, "account", account.c_str(), nullptr);
  return Answer(error);
}

}  // namespace platform
