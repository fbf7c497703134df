# Sourced by the screenshot scripts, from the checkout's top folder.

# Configures the build folder (BUILD_DIR, default "build") once and builds the given targets into it;
# `build` names the folder afterwards.
build_targets() {
  build="${BUILD_DIR:-build}"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build"
  fi
  cmake --build "$build" -j2 --target "$@"
}

# A TCP port free on loopback at the moment of asking.
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Headless chromium saves `url` as the PNG `file`, `width` x `height`, from a profile of its own and with
# nothing fetched from elsewhere.
chromium_shot() { # file width height url
  local profile
  profile="$(mktemp -d)"
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --hide-scrollbars --user-data-dir="$profile" \
    --window-size="$2,$3" --screenshot="$1" "$4" 2>/dev/null
  rm -rf "$profile"
  echo "$1"
}
