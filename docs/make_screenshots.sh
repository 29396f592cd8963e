#!/usr/bin/env bash
# Retakes the README's screenshots from the real program under Xvfb.
# Needs: xvfb xdotool imagemagick netcat-openbsd curl, and a build in build/.
# The clicks assume the window layout that the settings below produce.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$PWD/build/Gui/brindlewick
work=$(mktemp -d)
display=:77
Xvfb $display -screen 0 1024x700x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; pkill -f "$program" 2>/dev/null; rm -rf "$work"' EXIT
export DISPLAY=$display
sleep 1

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

start_program() { # port protocol view-mode
    mkdir -p "$work/cfg/Brindlewick"
    printf '[MainWindow]\nAutoListen=true\nlistenPort=%s\nProtocolType=%s\nMdiViewMode=%s\nsize=@Size(1000 640)\nwindowpos=@Point(0 0)\n' \
        "$1" "$2" "$3" > "$work/cfg/Brindlewick/Brindlewick.conf"
    XDG_CONFIG_HOME=$work/cfg timeout 60 "$program" >/dev/null 2>&1 &
    sleep 2
}

shoot() { sleep 1.5; import -window root "$work/shot.png"; convert "$work/shot.png" -crop 1000x640+0+0 +repage "$1"; }

# Plain text: two clients, a reply to the second.
port=$(free_port)
start_program "$port" 0 0
(printf 'GET /status HTTP/1.0\r\nHost: localhost\r\n\r\n'; sleep 30) | nc 127.0.0.1 "$port" >/dev/null &
sleep 0.5
(printf 'HELO client-under-test\nPING 42\n'; sleep 30) | nc 127.0.0.1 "$port" >/dev/null &
sleep 1.5
xdotool mousemove 795 455 click 1; xdotool type --delay 20 '250 OK welcome'
xdotool mousemove 925 571 click 1
shoot docs/plain-text-session.png
pkill -f "$program"; pkill -f "nc 127.0.0.1" || true; sleep 1

# HTTP: curl asks, a header line is added, the reply goes out.
port=$(free_port)
start_program "$port" 1 1
curl -s -m 30 "http://127.0.0.1:$port/hello" >/dev/null &
sleep 1.5
xdotool mousemove 913 153 click 1; sleep 0.4
xdotool mousemove 658 204 click --repeat 2 --delay 80 1; sleep 0.4; xdotool type --delay 15 'X-Served-By'; xdotool key Return
xdotool mousemove 830 204 click --repeat 2 --delay 80 1; sleep 0.4; xdotool type --delay 15 'brindlewick'; xdotool key Return
xdotool mousemove 436 450 click 1; xdotool type --delay 15 '<h1>Hello</h1>'
xdotool mousemove 517 575 click 1
shoot docs/http-session.png
