# Sourced first, before any change of folder, by each script that starts Wine: runs the script
# again without address-space randomization (setarch -R), which every process it starts inherits:
# the Wine programs, the wineserver's session, and whatever they start in turn.
#
# Why: Debian 12 builds Wine 8 without its preloader, and its loader (/usr/lib/wine/wine64) is a
# program linked at the fixed address 0x7d000000. Linux starts the C heap (brk) of such a program
# at a random point up to 1 GiB above it. About one start in 6,000 the heap then lies over
# 0x7ffe0000, where Wine must map Windows's shared user data, and the process ends with status 1
# before its program runs ("failed to map the shared user data: c0000018", which WINEDEBUG=-all
# hides). The suite's rare failures under Wine 8 were of that kind: a `reg add` or the tool ending
# with 1, test_child --limited unable to start its program (121). Measured on a live prefix: 5
# starts of an empty program in about 30,000 failed with randomization, none of 50,000 without.
# Without randomization the heap starts right after the loader. Debian 13's Wine 10 loader is
# position-independent and its heap lies far above 4 GiB; there this changes nothing that matters.
#
# Where the platform refuses the setting (a container's seccomp filter may), the script runs as it
# is. The check is the process's own personality, so the script runs again at most once.

# without_randomization PERSONALITY: whether the hexadecimal PERSONALITY has ADDR_NO_RANDOMIZE
# (<linux/personality.h>).
without_randomization() { (((0x${1:-0} & 0x0040000) != 0)); }
unrandomized=(setarch "$(uname -m)" -R)
if ! without_randomization "$(cat /proc/self/personality)" &&
  without_randomization "$("${unrandomized[@]}" cat /proc/self/personality 2>/dev/null)"; then
  exec "${unrandomized[@]}" "$BASH" "$0" "$@"
fi
unset unrandomized
