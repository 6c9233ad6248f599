#!/usr/bin/env bash
# Makes the Debian package (or takes the one given as its argument) and checks it as
# installed (CI runs this after the tests; as root, on a machine where the booth's build
# and runtime packages are installed):
#   - lintian: no errors;
#   - dpkg -i, then systemd-analyze verify on every unit, for an instance user;
#   - /usr/bin/booth --rehearse (with the installed stock pictures as its resource folder) and
#     /usr/bin/booth-mailer --drain on Qt's offscreen platform with the simulated camera and
#     temporary folders, the upload then mailed to the test SMTP server
#     (tests/mailer/smtp_server.py);
#   - the kiosk session (/usr/libexec/booth/booth-kiosk-session) on Xvfb up to the booth's
#     first screen, and the booth's exit status passed out through xinit;
#   - booth-setup-kiosk for a throwaway user, and --remove;
# then removes the package and the user again.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "check-package: run as root (it installs the package)" >&2; exit 2; }

tmp=$(mktemp -d)
user=booth-check-$$
gvfs_mask=/etc/systemd/user/gvfs-gphoto2-volume-monitor.service
gvfs_masked_before=false
[ -L "$gvfs_mask" ] && gvfs_masked_before=true
smtp_pid=""
session_pid=""
cleanup() {
    set +e
    if [ -n "$session_pid" ]; then kill -TERM -- "-$session_pid" 2>/dev/null; fi
    if [ -n "$smtp_pid" ]; then kill "$smtp_pid" 2>/dev/null; fi
    if dpkg-query -W -f='${Status}' booth 2>/dev/null | grep -q 'install ok installed'; then
        booth-setup-kiosk --remove "$user" >/dev/null 2>&1
        dpkg --purge booth >/dev/null
    fi
    if id "$user" >/dev/null 2>&1; then userdel "$user"; fi
    $gvfs_masked_before || rm -f "$gvfs_mask"
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "check-package: FAILED: $*" >&2; exit 1; }
step() { echo "check-package: $*"; }
waitfor() { # seconds, command...: true once the command succeeds
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.2; done
}

deb=${1:-$(bash scripts/make-package.sh)} # the package given, or made here
step "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB, $(dpkg-deb -c "$deb" | grep -vc '/$') files"

contents=$(dpkg-deb -c "$deb")
[ "$(grep -oE '\./usr/s?bin/[^ ]+$' <<<"$contents" | sort | tr '\n' ' ')" = "./usr/bin/booth ./usr/bin/booth-mailer ./usr/sbin/booth-setup-kiosk " ] \
    || fail "the programs in the package are not booth, booth-mailer and booth-setup-kiosk"

step "lintian"
lintian_status=0
lintian --fail-on error --info "$deb" > "$tmp/lintian.txt" 2>&1 || lintian_status=$?
grep -v 'running with root privileges' "$tmp/lintian.txt" || true
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"

if dpkg-query -W -f='${Status}' booth 2>/dev/null | grep -q 'install ok installed'; then
    step "removing the booth package left by an earlier run: $(dpkg-query -W -f='${Version}' booth)"
    dpkg --purge booth >/dev/null
fi
installed_at=$(date +%s%N)
dpkg -i "$deb" >/dev/null || fail "dpkg -i"
step "installed in $(( ($(date +%s%N) - installed_at) / 1000000 )) ms: $(dpkg-query -W -f='${Package} ${Version}, ${Installed-Size} KiB' booth)"

useradd --system --no-create-home --home-dir "$tmp/home" --shell /usr/sbin/nologin "$user"
step "systemd-analyze verify"
systemd-analyze verify --man=no "booth-kiosk@$user.service" "booth-mailer@$user.service" \
    "booth-kiosk-failed@$user.service" || fail "systemd-analyze verify"

export XDG_CONFIG_HOME=$tmp/config BOOTH_LOG_FILE=$tmp/booth.log BOOTH_MAILER_LOG_FILE=$tmp/mailer.log
folders=(-scratchFolder "$tmp/scratch" -mainImagesFolder "$tmp/main" -forUploadFolder "$tmp/upload")

step "booth --rehearse from /usr/bin"
QT_QPA_PLATFORM=offscreen /usr/bin/booth --rehearse anna@example.com,ben@example.org -cameraBackend sim \
    -touchScreenCountValue 1 -resourceFolder /usr/share/booth/resources "${folders[@]}" > "$tmp/rehearsal.txt" || { cat "$tmp/rehearsal.txt"; fail "rehearsal"; }
rehearsed_at=$(date +%s%N)
cat "$tmp/rehearsal.txt"
step "from dpkg -i to a passing rehearsal: $(( (rehearsed_at - installed_at) / 1000000 )) ms"

step "booth-mailer --drain from /usr/bin to the test SMTP server"
mkdir -p "$tmp/smtp"
python=/usr/bin/python3; [ -x "$python" ] || python=python3
"$python" tests/mailer/smtp_server.py "$tmp/smtp" > "$tmp/smtp.port" &
smtp_pid=$!
waitfor 15 grep -q '^PORT ' "$tmp/smtp.port" || fail "the test SMTP server did not start"
port=$(sed -n 's/^PORT //p' "$tmp/smtp.port")
/usr/bin/booth-mailer --drain 60 "${folders[@]:4}" -mailSmtpUrl "smtp://127.0.0.1:$port" \
    -mailFrom "Photo booth <booth@example.com>" || fail "booth-mailer --drain"
for address in anna@example.com ben@example.org; do
    grep -l "\"$address\"" "$tmp"/smtp/msg-*.json >/dev/null 2>&1 || fail "no message to $address"
done
step "mailed: $(ls "$tmp"/smtp/msg-*.json | wc -l) messages"

# The kiosk session on Xvfb until the booth shows its first screen; then the booth is ended
# with SIGTERM and the session must end with its status. The touch input goes to the output
# given (Xvfb has no touch device, so the session only says where it would map it).
kiosk_session() { # expected touch output
    : > "$BOOTH_LOG_FILE"
    BOOTH_XSERVER="Xvfb -screen 0 1280x800x24" setsid /usr/libexec/booth/booth-kiosk-session \
        -cameraBackend sim "${folders[@]}" > "$tmp/session.txt" 2>&1 &
    session_pid=$!
    waitfor 30 grep -q 'entered kiosk mode on 1 screen' "$BOOTH_LOG_FILE" \
        || { cat "$tmp/session.txt"; fail "the booth did not reach its first screen in the kiosk session"; }
    local booth_pid pid comm sid stat status=0
    booth_pid=""
    for stat in /proc/[0-9]*/stat; do # pid (comm) state ppid pgrp session ...
        read -r pid comm _ _ _ sid _ < "$stat" 2>/dev/null || continue
        [ "$comm" = "(booth)" ] && [ "$sid" = "$session_pid" ] && booth_pid=$pid
    done
    [ -n "$booth_pid" ] || fail "no booth in the kiosk session"
    kill -TERM "$booth_pid"
    wait "$session_pid" || status=$?
    session_pid=""
    grep 'booth-kiosk' "$tmp/session.txt"
    [ "$status" -eq 143 ] || fail "the kiosk session ended with $status, not the booth's 143 (SIGTERM)"
    grep -q "mapped to output $1\$" "$tmp/session.txt" || fail "the touch input was not meant for output $1"
}
step "the kiosk session on Xvfb, touchScreenOutput not set: the first screen's output"
kiosk_session screen
step "the kiosk session on Xvfb, touchScreenOutput=DP-7 in booth.conf"
sed -i 's/^\[General\]$/[General]\ntouchScreenOutput=DP-7/' "$XDG_CONFIG_HOME/Korvanex/booth.conf"
kiosk_session DP-7

step "booth-setup-kiosk $user"
booth-setup-kiosk "$user"
id -nG "$user" | tr ' ' '\n' | grep -qx plugdev || fail "$user is not in plugdev"
id -nG "$user" | tr ' ' '\n' | grep -qx video || fail "$user is not in video"
[ "$(readlink "$gvfs_mask")" = /dev/null ] || fail "gvfs-gphoto2-volume-monitor is not masked"
for unit in "graphical.target.wants/booth-kiosk@$user.service" "multi-user.target.wants/booth-mailer@$user.service"; do
    [ -L "/etc/systemd/system/$unit" ] || fail "$unit is not enabled"
done
booth-setup-kiosk --remove "$user"
[ ! -e "/etc/systemd/system/graphical.target.wants/booth-kiosk@$user.service" ] || fail "--remove left the kiosk enabled"

dpkg --purge booth >/dev/null
[ ! -e /usr/bin/booth ] || fail "/usr/bin/booth is still there after dpkg --purge"
step "removed; all checks passed"
