#!/bin/bash
# Starts or stops the mail servers that the mail tests talk to: Debian's
# postfix (SMTP, delivering into mailboxes on this machine) and dovecot
# (POP3 with plain-text login), each a private instance with its own
# configuration, queue and mailboxes under $VELKO_MAIL_ROOT.
#
# Both run inside the network namespace "velkomail" where one can be made
# (root, ip netns), listening on 127.0.0.1:25 and 127.0.0.1:110 of that
# namespace only, so they never meet a mail service of the machine. The
# tests enter the namespace themselves. Without a namespace they listen on
# 127.0.0.1:2525 and 127.0.0.1:1110 of the machine (also when
# VELKO_MAIL_NO_NETNS is set).
#
#   scripts/mailservers.sh start   install when missing, configure, start
#   scripts/mailservers.sh stop    stop both and remove the namespace
#   scripts/mailservers.sh status
#
# start writes "$VELKO_MAIL_ROOT/env" (shell assignments) for the tests:
#   VELKO_MAIL_NETNS   the namespace's name, empty without one
#   VELKO_MAIL_SMTP    host:port of the SMTP server
#   VELKO_MAIL_POP3    host:port of the POP3 server
#   VELKO_MAIL_DOMAIN  the mail domain of the test mailboxes
#   VELKO_MAIL_BOXES   folder of the mailboxes (<user>/ is a Maildir)
#   VELKO_MAIL_CONFIG  the postfix configuration folder (MAIL_CONFIG of the
#                      local sendmail, used through /usr/bin/mail)
# Users: alice, bob, carol, synch, popcheck (POP3 password "secret" for each);
# a test that empties a mailbox has one of its own (synch, popcheck), so
# that tests running at the same time never remove each other's messages.
set -u

ROOT=${VELKO_MAIL_ROOT:-/var/tmp/velko-mail}
NETNS=velkomail
DOMAIN=velko.test
USERS="alice bob carol synch popcheck"
MAILUID=$(id -u mail 2>/dev/null || echo 8)
MAILGID=$(id -g mail 2>/dev/null || echo 8)

log() { echo "mailservers: $*" >&2; }

in_ns() {
  if [ -n "${USE_NS:-}" ]; then ip netns exec "$NETNS" "$@"; else "$@"; fi
}

install_packages() {
  local missing=()
  [ -x /usr/sbin/postfix ] || missing+=(postfix)
  [ -x /usr/sbin/dovecot ] && [ -e /usr/lib/dovecot/pop3 ] || missing+=(dovecot-pop3d)
  [ -x /usr/bin/mail ] || missing+=(bsd-mailx)
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  # "No configuration": the machine's own postfix stays unconfigured; the
  # tests' instance has its own configuration folder.
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2 ||
    { apt-get update -q >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2; }
}

setup_netns() {
  USE_NS=
  if [ -n "${VELKO_MAIL_NO_NETNS:-}" ]; then
    :  # asked to run without a namespace
  elif ip netns list 2>/dev/null | grep -qw "$NETNS"; then
    USE_NS=1
  elif ip netns add "$NETNS" 2>/dev/null; then
    USE_NS=1
  fi
  if [ -n "$USE_NS" ] && ! ip netns exec "$NETNS" ip link set lo up 2>/dev/null; then
    ip netns del "$NETNS" 2>/dev/null
    USE_NS=
  fi
  if [ -n "$USE_NS" ]; then
    SMTP_PORT=25; POP3_PORT=110
  else
    log "no network namespace: using 127.0.0.1:2525 and 127.0.0.1:1110"
    SMTP_PORT=2525; POP3_PORT=1110
  fi
}

write_postfix() {
  local pf=$ROOT/postfix
  mkdir -p "$pf" "$ROOT/spool" "$ROOT/lib"
  : > "$pf/vmailbox"
  for u in $USERS; do echo "$u@$DOMAIN $u/" >> "$pf/vmailbox"; done
  cat > "$pf/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $ROOT/spool
data_directory = $ROOT/lib
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
mail_owner = postfix
setgid_group = postdrop
myhostname = mail.$DOMAIN
mydomain = $DOMAIN
myorigin = \$myhostname
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relayhost =
# Nothing ever leaves this machine: whatever is not for a test mailbox
# bounces at once.
default_transport = error:no mail leaves the test servers
relay_transport = error:no mail leaves the test servers
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_banner = \$myhostname ESMTP velko test server
biff = no
append_dot_mydomain = no
smtp_dns_support_level = disabled
disable_dns_lookups = yes
smtpd_peername_lookup = no
alias_maps =
alias_database =
local_recipient_maps =
virtual_mailbox_domains = $DOMAIN
virtual_mailbox_base = $ROOT/mail
virtual_mailbox_maps = texthash:$pf/vmailbox
virtual_minimum_uid = 1
virtual_uid_maps = static:$MAILUID
virtual_gid_maps = static:$MAILGID
maillog_file = $ROOT/postfix.log
smtputf8_enable = no
EOF
  # The SMTP service is named by its port.
  cat > "$pf/master.cf" <<EOF
# service type  private unpriv  chroot  wakeup  maxproc command
$SMTP_PORT        inet  n       -       n       -       -       smtpd
EOF
  cat >> "$pf/master.cf" <<'EOF'
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
}

write_dovecot() {
  local dv=$ROOT/dovecot
  mkdir -p "$dv/run" "$dv/state"
  : > "$dv/passwd"
  for u in $USERS; do
    echo "$u:{PLAIN}secret:$MAILUID:$MAILGID::$ROOT/mail/$u" >> "$dv/passwd"
  done
  cat > "$dv/dovecot.conf" <<EOF
protocols = pop3
listen = 127.0.0.1
base_dir = $dv/run
state_dir = $dv/state
log_path = $ROOT/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 1
first_valid_gid = 1
mail_location = maildir:$ROOT/mail/%n
pop3_uidl_format = %08Xu%08Xv
default_login_user = dovenull
default_internal_user = dovecot
passdb {
  driver = passwd-file
  args = $dv/passwd
}
userdb {
  driver = passwd-file
  args = $dv/passwd
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $POP3_PORT
  }
  inet_listener pop3s {
    port = 0
  }
}
service imap-login {
  inet_listener imap {
    port = 0
  }
}
EOF
}

make_mailboxes() {
  for u in $USERS; do
    mkdir -p "$ROOT/mail/$u/new" "$ROOT/mail/$u/cur" "$ROOT/mail/$u/tmp"
  done
  chown -R "$MAILUID:$MAILGID" "$ROOT/mail"
  chmod 755 "$ROOT" "$ROOT/mail"
}

wait_port() {
  local port=$1 i
  for i in $(seq 1 100); do
    if in_ns bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Waits up to 5 seconds for the process of pid file $1 to end.
wait_gone() {
  local pid i
  pid=$(tr -dc 0-9 < "$1" 2>/dev/null) || return 0
  [ -n "$pid" ] || return 0
  for i in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
}

do_stop() {
  if [ -f "$ROOT/postfix/main.cf" ]; then
    USE_NS=
    ip netns list 2>/dev/null | grep -qw "$NETNS" && USE_NS=1
    in_ns postfix -c "$ROOT/postfix" stop </dev/null >/dev/null 2>&1
    wait_gone "$ROOT/spool/pid/master.pid"
  fi
  if [ -f "$ROOT/dovecot/run/master.pid" ]; then
    kill "$(tr -dc 0-9 < "$ROOT/dovecot/run/master.pid")" 2>/dev/null
    wait_gone "$ROOT/dovecot/run/master.pid"
  fi
  ip netns del "$NETNS" 2>/dev/null
  rm -f "$ROOT/env"
  return 0
}

do_start() {
  [ "$(id -u)" = 0 ] || { log "must run as root"; exit 1; }
  install_packages || { log "cannot install the mail servers"; exit 1; }
  do_stop
  rm -rf "$ROOT"
  mkdir -p "$ROOT"
  setup_netns
  write_postfix
  write_dovecot
  make_mailboxes
  postfix -c "$ROOT/postfix" set-permissions </dev/null >/dev/null 2>&1
  postfix -c "$ROOT/postfix" check </dev/null >&2 || { log "postfix check failed"; exit 1; }
  # The daemons must not keep this script's output open: a caller that
  # reads it through a pipe would wait for ever.
  in_ns postfix -c "$ROOT/postfix" start </dev/null >>"$ROOT/start.log" 2>&1 ||
    { cat "$ROOT/start.log" >&2; log "postfix did not start"; exit 1; }
  in_ns dovecot -c "$ROOT/dovecot/dovecot.conf" </dev/null >>"$ROOT/start.log" 2>&1 ||
    { cat "$ROOT/start.log" >&2; log "dovecot did not start"; exit 1; }
  wait_port "$SMTP_PORT" || { log "no SMTP server on port $SMTP_PORT"; exit 1; }
  wait_port "$POP3_PORT" || { log "no POP3 server on port $POP3_PORT"; exit 1; }
  cat > "$ROOT/env" <<EOF
VELKO_MAIL_NETNS=${USE_NS:+$NETNS}
VELKO_MAIL_SMTP=127.0.0.1:$SMTP_PORT
VELKO_MAIL_POP3=127.0.0.1:$POP3_PORT
VELKO_MAIL_DOMAIN=$DOMAIN
VELKO_MAIL_BOXES=$ROOT/mail
VELKO_MAIL_CONFIG=$ROOT/postfix
EOF
  log "started (SMTP 127.0.0.1:$SMTP_PORT, POP3 127.0.0.1:$POP3_PORT${USE_NS:+, namespace $NETNS})"
}

case "${1:-}" in
  start) do_start ;;
  stop) do_stop ;;
  status)
    if [ -f "$ROOT/env" ]; then cat "$ROOT/env"; else echo "not running"; exit 1; fi ;;
  *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac
