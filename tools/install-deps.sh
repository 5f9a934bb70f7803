#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build, the floppy image and the tests
# need and this machine lacks. Safe to run again: it does nothing when all is present.
# usage: tools/install-deps.sh [gui|bochs]   (gui: also QEMU's window, for make run;
#        bochs: the Bochs emulator with its BIOS files, for make test-bochs)
set -euo pipefail

# command-or-file  debian-package
needs=(
  "nasm                         nasm"
  "mcopy                        mtools"
  "mkfs.fat                     dosfstools"
  "qemu-system-i386             qemu-system-x86"
  "g++                          g++"
  "nm                           binutils"
  "/usr/lib/gcc/x86_64-linux-gnu/12/32/libgcc.a  g++-multilib"
  "/usr/src/googletest/googletest/src/gtest-all.cc  googletest"
  "/usr/lib32/libasan.so.8      lib32asan8"
  "/usr/lib32/libubsan.so.1     lib32ubsan1"
  "clang-tidy                   clang-tidy"
  "cppcheck                     cppcheck"
  "clang-format                 clang-format"
  "gdb                          gdb"
  "qemu-i386                    qemu-user"
  "clang++                      clang"
  "/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-i386.a  libclang-rt-14-dev"
)
python_modules=("pytest python3-pytest" "xdist python3-pytest-xdist")

missing=()
for line in "${needs[@]}"; do
  read -r what pkg <<<"$line"
  if [[ $what == /* ]]; then
    [[ -e $what ]] || missing+=("$pkg")
  else
    command -v "$what" >/dev/null 2>&1 || missing+=("$pkg")
  fi
done
for line in "${python_modules[@]}"; do
  read -r mod pkg <<<"$line"
  /usr/bin/python3 -c "import $mod" >/dev/null 2>&1 || missing+=("$pkg")
done

# QEMU's window (GTK/SDL) is a separate package; only make run on a desktop needs it.
if [[ ${1:-} == gui ]] && ! dpkg-query -W -f='${Status}' qemu-system-gui 2>/dev/null | grep -q 'ok installed'; then
  missing+=(qemu-system-gui)
fi

# Bochs, its ROM BIOS and LGPL VGA BIOS: only make test-bochs needs them. The base
# package brings the rfb display the tests use; bochs-x and bochs-sdl add windows.
if [[ ${1:-} == bochs ]]; then
  command -v bochs >/dev/null 2>&1 || missing+=(bochs)
  [[ -e /usr/share/bochs/BIOS-bochs-latest ]] || missing+=(bochsbios)
  [[ -e /usr/share/vgabios/vgabios.bin ]] || missing+=(vgabios)
  # Debian's bochs needs one display package: term needs no desktop.
  [[ -e /usr/lib/x86_64-linux-gnu/bochs/plugins/libbx_term_gui.so ]] || missing+=(bochs-term)
fi

[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing Debian packages: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
