#!/bin/sh
# Debian's Chromium as the tests start it. The tests run as root, and a root Chromium puts
# its audio threads in real-time scheduling and raises its WebRTC and compositor threads,
# which a person's browser cannot do: on two cores a room of call pages then starves the
# pages' own main threads (signals handled tens of seconds late, sockets that miss their
# pings). Without CAP_SYS_NICE the browser schedules its threads as it would for a person.
exec setpriv --bounding-set=-sys_nice --inh-caps=-sys_nice /usr/bin/chromium "$@"
