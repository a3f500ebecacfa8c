# A script that stops under `set -e` names the command that stopped it (sourced, not run).
# errtrace (-E) hands the trap to functions and subshells, inherit_errexit makes a command
# substitution stop at its first failing command as the script itself does. The trap reports the
# command, its status and its file and line, then the chain of function calls that led there.
set -eEuo pipefail
shopt -s inherit_errexit

report_failed_command() {
  local status=$1 command=$2 i
  printf "FAIL: command '%s' failed with status %d at %s:%d\n" \
    "$command" "$status" "${BASH_SOURCE[1]}" "${BASH_LINENO[0]}" >&2
  for ((i = 1; i < ${#FUNCNAME[@]} - 1; i++)); do
    printf '  in %s, called from %s:%d\n' "${FUNCNAME[i]}" "${BASH_SOURCE[i + 1]}" "${BASH_LINENO[i]}" >&2
  done
}
trap 'report_failed_command $? "$BASH_COMMAND"' ERR
