# What the scripts that run kelu on Wine share; sourced, not run. They need root (for
# the mount namespace) and Debian's wine + wine32:i386.
#
# Wine's own serial ports must stay out of the way: its mount manager makes \Device\SerialN
# and COMn for every /dev/ttyS*, and it resolves \\.\COMn to /dev/ttyS(n-1) before the NT
# namespace, so our ports' names would open the host's ports. Everything therefore runs
# in a private mount namespace whose /dev has no ttyS* (the prefix's registry cannot do
# this: the fallback to /dev/ttyS* is built in).

# Runs the calling script again in a private mount namespace, unless it already is in one.
#   enter_private_namespace "$0" "$@"
enter_private_namespace() {
  if [[ -z "${KELU_WINE_NAMESPACE:-}" ]]; then
    exec unshare --mount --propagation private env KELU_WINE_NAMESPACE=1 "$@"
  fi
}

# In the namespace: /dev as a tmpfs holding only what Wine uses, bound from the real one;
# then a fresh 32-bit prefix (removed at exit) with the SDK at C:\kelu and the driver
# package installed by `kelu.exe install`. Extra files given are copied beside kelu.exe.
#   start_wine_with_kelu SDK_PREFIX [FILE...]
start_wine_with_kelu() {
  local sdk=$1; shift
  real_dev=$(mktemp -d)
  mount --bind /dev "$real_dev"
  mount -t tmpfs -o mode=755 tmpfs /dev
  local node
  for node in null zero full random urandom tty ptmx; do
    touch "/dev/$node"
    mount --bind "$real_dev/$node" "/dev/$node"
  done
  mkdir /dev/pts /dev/shm
  mount --bind "$real_dev/pts" /dev/pts
  mount -t tmpfs -o mode=1777 tmpfs /dev/shm
  ln -s /proc/self/fd /dev/fd
  ln -s /proc/self/fd/0 /dev/stdin
  ln -s /proc/self/fd/1 /dev/stdout
  ln -s /proc/self/fd/2 /dev/stderr

  export WINEPREFIX WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
  WINEPREFIX=$(mktemp -d)
  trap stop_wine EXIT
  wineboot --init >/dev/null 2>&1
  # Installing right after the prefix is made can race the service manager's start.
  wineserver --wait

  local kelu_dir=$WINEPREFIX/drive_c/kelu
  mkdir -p "$kelu_dir"
  cp -r "$sdk/bin" "$sdk/share" "$kelu_dir/"
  if [[ $# -gt 0 ]]; then
    cp "$@" "$kelu_dir/bin/"
  fi
  wine 'C:\kelu\bin\kelu.exe' install
}

stop_wine() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  umount "$real_dev" && rmdir "$real_dev" || true
}
