# Shell functions for running the remote control agent as a service of the
# test harness's Wine prefix on an X screen; sourced by tools/demo_rc.sh and
# bench/run_rc_idle_cpu.sh, which run inside `tests/harness/wine.sh xvfb`.
#
# Needs: root (the repository), harness, QV_WINE_DIR, QV_WIN32_BIN, and
# LINKCORE_PORT_OFFSET (0 for the agent's own ports 1761 and 1762).

rc_drive_c() { echo "$QV_WINE_DIR/prefix/drive_c"; }
rc_env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

rc_wine() { "$harness" run "$@"; }

# The service's state word from `sc query` (RUNNING, STOPPED, ...).
rc_state() {
    rc_wine 'C:\windows\system32\sc.exe' query "Brekon RCHOST Agent" 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

# Installs the agent from the programs' folder into C:\rchost and starts it;
# waits until it answers on its verify endpoint.
rc_install() {
    local dir f i
    dir="$(rc_drive_c)/rchost"
    rc_wine 'C:\windows\system32\cmd.exe' /c 'P:\uninstall.cmd' >/dev/null 2>&1 || true
    rm -rf "$dir"
    mkdir -p "$dir"
    for f in rchost32.exe linkcore.dll xlat32.dll install.cmd uninstall.cmd KSLAVE.exe rchostmsg.dll; do
        [ -f "$QV_WIN32_BIN/$f" ] && cp "$QV_WIN32_BIN/$f" "$dir/"
    done
    # A service reads the system environment, not ours.
    if [ "${LINKCORE_PORT_OFFSET:-0}" != 0 ]; then
        rc_wine 'C:\windows\system32\reg.exe' add "$rc_env_key" /v LINKCORE_PORT_OFFSET \
            /d "$LINKCORE_PORT_OFFSET" /f >/dev/null 2>&1
        "$harness" up
    fi
    rc_wine 'C:\windows\system32\cmd.exe' /c 'C:\rchost\install.cmd' /INTERACTIVE TCPIP >/dev/null 2>&1 || return 1
    for ((i = 0; i < 200; i++)); do
        [ "$(rc_state)" = RUNNING ] && break
        sleep 0.1
    done
    for ((i = 0; i < 100; i++)); do
        "$host_bin/rcconsole" --timeout 500 -c "info 0" 127.0.0.1 >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    echo "the agent did not answer; its log:" >&2
    tr -d '\r' <"$(rc_drive_c)/rchost/rchost32.log" >&2 || true
    return 1
}

rc_uninstall() {
    rc_wine 'C:\windows\system32\cmd.exe' /c 'C:\rchost\uninstall.cmd' >/dev/null 2>&1 || true
    if [ "${LINKCORE_PORT_OFFSET:-0}" != 0 ]; then
        rc_wine 'C:\windows\system32\reg.exe' delete "$rc_env_key" /v LINKCORE_PORT_OFFSET /f >/dev/null 2>&1 || true
    fi
}

# The Unix process id of the running agent (a Wine process whose command
# line names rchost32.exe and whose prefix is ours); empty when none.
rc_agent_pid() {
    local p
    for p in /proc/[0-9]*; do
        tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -qi 'rchost32\.exe' || continue
        tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
        echo "${p#/proc/}"
        return 0
    done
}
