# Sourced by commands that tests/session/user-session runs: ways to act as the session's
# user. Each runs the command with the user's ids and groups and an environment of the
# session's own (nothing of root's leaks in).

# as_user COMMAND [ARG...]
as_user() {
  setpriv --reuid "$SESSION_UID" --regid "$SESSION_GID" --init-groups \
    env -i HOME="$SESSION_HOME" USER="$SESSION_USER" LOGNAME="$SESSION_USER" \
    XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" \
    LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin "$@"
}

# user_systemctl ARG...: systemctl --user against the session's manager.
user_systemctl() {
  as_user systemctl --user --no-pager "$@"
}

# wait_for SECONDS COMMAND [ARG...]: runs COMMAND until it succeeds, at most SECONDS long.
wait_for() {
  local guard=$1
  shift
  local end=$((SECONDS + guard))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.05
  done
}
