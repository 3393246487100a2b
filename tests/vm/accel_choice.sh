#!/usr/bin/env bash
# How scripts/alsa-vm chooses between KVM and TCG, against a fake qemu-system-x86_64 on PATH that
# records each start and plays a KVM that aborts at start (as "failed to set MSR 0x10a" does), one
# that hangs, one that works, and TCG. The fake reads the run's nonce from the initramfs and
# reports status 7 for the command, so a pass also shows the status got through.
# Usage: accel_choice.sh PATH/TO/alsa-vm        Exit 77 (skip) when the VM's packages are missing.
set -uo pipefail
alsa_vm=${1:?usage: accel_choice.sh PATH/TO/alsa-vm}

# The script would install its packages itself; a test does not.
read -r -a packages < <(sed -n 's/^readonly host_packages=(\(.*\))$/\1/p' "$alsa_vm")
[ ${#packages[@]} -gt 0 ] || { echo "no host_packages line in $alsa_vm"; exit 1; }
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed; then
    echo "SKIP: package $p is not installed (scripts/bootstrap --tests installs it)"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/accel-choice.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# A kernel cache the script takes as ready: it never boots, the fake only looks at the initrd.
kernel=$work/cache/kernel-0.0-fake
mkdir -p "$kernel/modules"
echo 0.0-fake >"$kernel/version"
for m in soundcore snd; do : >"$kernel/modules/$m.ko"; done
: >"$kernel/vmlinux"
touch "$kernel/ready"
ln -s kernel-0.0-fake "$work/cache/kernel"

mkdir "$work/bin"
cat >"$work/bin/qemu-system-x86_64" <<'EOF'
#!/usr/bin/env bash
accel=tcg initrd=
while [ $# -gt 0 ]; do
  case $1 in
    -enable-kvm) accel=kvm ;;
    -initrd) initrd=$2; shift ;;
  esac
  shift
done
echo "$accel" >>"$FAKE_LOG"
if [ "$accel" = kvm ]; then
  case $FAKE_KVM in
    abort)
      echo "qemu-system-x86_64: error: failed to set MSR 0x10a to 0x0" >&2
      echo "qemu-system-x86_64: ../../target/i386/kvm/kvm.c:2893: kvm_buf_set_msrs: Assertion \`ret == cpu->kvm_msr_buf->nmsrs' failed." >&2
      exit 134
      ;;
    hang) exec tail -f /dev/null ;;  # no output, until the script ends it
  esac
fi
nonce=$(zcat "$initrd" | grep -a -o 'RT88H-VM-STATUS=\$? [0-9a-f]*' | head -n 1)
nonce=${nonce##* }
printf 'alsa-vm: up 0.01 s\nfake guest under %s\n\nRT88H-VM-STATUS=7 %s\n' "$accel" "$nonce"
EOF
chmod +x "$work/bin/qemu-system-x86_64"
# A busybox that writes its applet list in pieces, as the real one does, the rest after a pause:
# a reader that stops at "true" must not take the writer's SIGPIPE as "no such applet".
mkdir "$work/bb"
cat >"$work/bb/busybox" <<'EOF'
#!/usr/bin/env bash
case $1 in
  --list) echo true; sleep 0.3; echo zcat ;;
  --list-full) printf 'bin/true\nbin/zcat\n' ;;
esac
EOF
chmod +x "$work/bb/busybox"
: >"$work/kvm"

# One run: KVM behaviour, expected exit status, expected starts ("kvm tcg"), then the expected
# lines of the script's messages as extended regular expressions; the rest is the environment.
case_no=0
check() {
  local behaviour=$1 want_rc=$2 want_starts=$3
  shift 3
  local patterns=() envs=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do patterns+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  envs=("$@")
  case_no=$((case_no + 1))
  local log=$work/starts.$case_no out=$work/out.$case_no err=$work/err.$case_no rc=0
  : >"$log"
  echo "== case $case_no: KVM $behaviour ${envs[*]}"
  env PATH="$work/bin:$PATH" RT88H_VM_CACHE="$work/cache" RT88H_VM_KVM_DEVICE="$work/kvm" \
    FAKE_LOG="$log" FAKE_KVM="$behaviour" "${envs[@]}" \
    "$alsa_vm" run --timeout 60 -- true >"$out" 2>"$err" || rc=$?
  sed 's/^/   /' "$err"
  [ "$rc" -eq "$want_rc" ] || fail "case $case_no: exit status $rc, expected $want_rc"
  local starts
  starts=$(tr '\n' ' ' <"$log" | sed 's/ $//')
  [ "$starts" = "$want_starts" ] || fail "case $case_no: qemu started as \"$starts\", expected \"$want_starts\""
  local p
  for p in "${patterns[@]}"; do
    grep -Eq "$p" "$err" || fail "case $case_no: no line matching /$p/"
  done
  # The fallback is said in exactly one line, and only when it happens.
  local said
  said=$(grep -c 'KVM did not start' "$err")
  if [[ $want_starts == "kvm tcg" ]]; then
    [ "$said" -eq 1 ] || fail "case $case_no: $said lines about the fallback, expected 1"
  else
    [ "$said" -eq 0 ] || fail "case $case_no: a fallback line although none happened"
  fi
  if [ "$want_rc" -eq 7 ]; then
    grep -q "^fake guest under ${want_starts##* }\$" "$out" ||
      fail "case $case_no: the guest's output did not come through"
  fi
}

check abort 7 "kvm tcg" \
  '^alsa-vm: KVM did not start the VM: qemu ended with status 134 .*kvm_buf_set_msrs.*; running it under TCG instead$' \
  '^alsa-vm: command exited with 7; VM ran [0-9.]+ s under TCG$'
check hang 7 "kvm tcg" \
  '^alsa-vm: KVM did not start the VM: the guest did not reach its init within 1 s; running it under TCG instead$' \
  '^alsa-vm: command exited with 7; VM ran [0-9.]+ s under TCG$' -- RT88H_VM_KVM_WAIT=1
check works 7 "kvm" '^alsa-vm: accelerator: KVM$' \
  '^alsa-vm: command exited with 7; VM ran [0-9.]+ s under KVM$'
check abort 7 "tcg" '^alsa-vm: accelerator: TCG \(.*/nowhere is missing or not readable and writable\)$' \
  '^alsa-vm: command exited with 7; VM ran [0-9.]+ s under TCG$' -- RT88H_VM_KVM_DEVICE="$work/nowhere"
check abort 7 "tcg" '^alsa-vm: accelerator: TCG \(RT88H_VM_ACCEL=tcg\)$' -- RT88H_VM_ACCEL=tcg
check works 7 "kvm" '^alsa-vm: command exited with 7; VM ran [0-9.]+ s under KVM$' \
  -- PATH="$work/bb:$work/bin:$PATH"
check abort 125 "kvm" '^alsa-vm: the VM stopped without a status \(qemu exit 134, under KVM\)$' \
  -- RT88H_VM_ACCEL=kvm

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all $case_no cases as expected"
