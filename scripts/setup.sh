#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and testing zortcp needs on a Debian machine, when
# it is missing.
set -euo pipefail

# The packaging checks (scripts/install_check.sh) need dpkg-dev,
# build-essential, debhelper, autopkgtest, git, pkgconf, python3, binutils,
# pandoc (the man pages), lintian, abigail-tools (abidw, abidiff) and man-db
# (man -w); the Python package's test needs Debian's venv, setuptools, wheel,
# pytest and mypy (its type check) and gcc (its event handler is a C file);
# the source checks need clang-format; the .NET package needs Mono's C#
# compiler and runtime (mono-mcs, mono-devel) and zip/unzip for its .nupkg.
packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev clang libclang-rt-14-dev
          dpkg-dev build-essential debhelper autopkgtest git pkgconf python3 binutils pandoc lintian
          abigail-tools man-db
          python3-venv python3-setuptools python3-wheel python3-pytest mypy gcc clang-format
          mono-mcs mono-devel zip unzip)
# The Windows builds (ZORTCP_SETUP_WINDOWS=1, as scripts/test.sh sets it
# when it runs them) need the mingw-w64 compilers (posix threads), Debian's
# GoogleTest sources (built for Windows there), zip and unzip for the
# packages, Wine to run the tests (wine32 comes from the i386 architecture),
# and LLVM's llvm-dlltool (llvm), lld-link (lld) and clang: the import
# library for Microsoft's linker, and the release check's host built as
# Visual Studio builds one.
if [ "${ZORTCP_SETUP_WINDOWS:-0}" = 1 ]; then
  packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools googletest zip
             unzip wine wine64 llvm lld clang)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture i386; else sudo dpkg --add-architecture i386; fi
  fi
  packages+=(wine32:i386)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  # Another package manager run (a fresh machine's daily update, say) holds
  # dpkg's locks for a while: apt-get waits for them, up to
  # ZORTCP_APT_LOCK_WAIT seconds (10 minutes by default), instead of failing
  # at once.
  lock_wait=${ZORTCP_APT_LOCK_WAIT:-600}
  echo "(waiting up to ${lock_wait} s for another package manager run to end, if one holds the lock)"
  apt=(apt-get -q -o "DPkg::Lock::Timeout=${lock_wait}")
  $sudo "${apt[@]}" update
  DEBIAN_FRONTEND=noninteractive $sudo "${apt[@]}" install -y "${missing[@]}"
fi
