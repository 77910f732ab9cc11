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
