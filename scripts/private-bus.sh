# Sourced by the scripts that start a session bus of their own.

# private_bus_config LISTEN [SERVICE_DIR]: prints a session bus configuration that listens on
# LISTEN (a D-Bus address such as unix:tmpdir=DIR) and lets every client own and call anything.
# It starts only the services of SERVICE_DIR, and none without it: the machine's own (a keyring,
# a notification server) never start there.
private_bus_config() {
    cat <<CONFIG
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>$1</listen>
  <auth>EXTERNAL</auth>
${2:+  <servicedir>$2</servicedir>
}  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONFIG
}

# unlock_login_elsewhere: another client unlocks the login keyring with its password, no prompt
# (gnome-keyring's own interface for that, as its control tools use).
unlock_login_elsewhere() {
    /usr/bin/python3 - <<'PY'
import dbus

bus = dbus.SessionBus()
service = bus.get_object("org.freedesktop.secrets", "/org/freedesktop/secrets")
_, session = service.OpenSession("plain", dbus.String("", variant_level=1),
                                 dbus_interface="org.freedesktop.Secret.Service")
dbus.Interface(service, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface") \
    .UnlockWithMasterPassword(dbus.ObjectPath("/org/freedesktop/secrets/collection/login"),
                              (session, dbus.ByteArray(b""), dbus.ByteArray(b"x"), "text/plain"))
PY
}
