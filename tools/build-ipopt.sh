#!/usr/bin/env bash
# Builds the solver vornel links where the system's Ipopt is slow: Ipopt with
# a sequential MUMPS 5.7 ordered by METIS, all three from Debian's source
# archive, into a cached prefix, and prints the prefix on its last line.
#
#   tools/build-ipopt.sh            build unless the cached prefix is complete
#   tools/build-ipopt.sh --prefix   print the prefix it would use, build nothing
#
# The prefix is ${VORNEL_CACHE:-$HOME/.cache/vornel}/ipopt-KEY; KEY hashes the
# source versions, the build options and this script, so changing any of them
# builds anew and nothing else does. The prefix holds lib/libipopt.so (MUMPS,
# METIS and PORD linked in statically), the BLAS it links, the headers and
# lib/pkgconfig/ipopt.pc; its libraries find each other through $ORIGIN.
#
# Environment:
#   VORNEL_BLAS=openblas|reference  the BLAS and LAPACK (default: see below)
#   VORNEL_JOBS                     make's parallel jobs (default 2)
#
# Sources come through apt's own client with a private sources list, so the
# files are checked against Debian's signed indices; the system's apt
# configuration is not touched. Build tools come from Debian's packages.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

ipopt_src=coinor-ipopt=3.11.9-2.3 # bookworm
ipopt_suite=bookworm
mumps_src=mumps=5.7.3-3 # trixie
metis_src=metis=5.1.0.dfsg-7
src_suite=trixie
# OpenBLAS measured no faster than reference BLAS on the benchmark problems
# here (2 cores, shared), and the reference BLAS is the smaller bundle.
blas=${VORNEL_BLAS:-reference}
jobs=${VORNEL_JOBS:-2}
cflags="-O2 -fPIC"

case "$blas" in
  openblas | reference) ;;
  *) echo "build-ipopt: VORNEL_BLAS must be openblas or reference" >&2; exit 2 ;;
esac

key=$( (echo "$ipopt_src $mumps_src $metis_src $blas $cflags"
  gcc --version 2> /dev/null | head -1 || true
  cat "$0") | sha256sum | cut -c1-16)
cache=${VORNEL_CACHE:-$HOME/.cache/vornel}
prefix=$cache/ipopt-$key
if [ "${1:-}" = "--prefix" ]; then echo "$prefix"; exit 0; fi
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi

log() { echo "build-ipopt: $*" >&2; }
start=$(date +%s)

sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
tools=(gfortran g++ gcc make pkg-config dpkg-dev xz-utils patch)
case "$blas" in
  reference) tools+=(libblas-dev liblapack-dev) ;;
  openblas) tools+=(libopenblas-pthread-dev) ;;
esac
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" < /dev/null > /dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vornel-ipopt.XXXXXX")
# Kept after a failure, for its logs.
trap 'if [ $? -eq 0 ]; then rm -rf "$work"; else log "build folder kept: $work"; fi' EXIT
stage=$work/prefix
mkdir -p "$stage/lib" "$stage/include" "$work/lists/partial"

# The mirror apt already uses for binary packages.
uri=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2> /dev/null |
  grep -v security | head -n1 || true)
[ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2> /dev/null || true)
[ -n "$uri" ] || { log "no Debian mirror configured in apt's sources"; exit 1; }
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
for suite in $ipopt_suite $src_suite; do
  echo "deb-src [signed-by=$keyring] $uri $suite main"
done | sort -u > "$work/sources.list"
apt_opts=(-o Dir::Etc::sourcelist="$work/sources.list" -o Dir::Etc::sourceparts=-
  -o Dir::State::Lists="$work/lists" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
log "fetching $ipopt_src $mumps_src $metis_src"
apt-get "${apt_opts[@]}" -qq update
# The upstream tarballs, and Debian's patches for Ipopt, each checked against
# the hash in the signed index by apt's own downloader (the mirror need not
# carry the .dsc files, which are not used).
for pkg in "$ipopt_src" "$mumps_src" "$metis_src"; do
  apt-get "${apt_opts[@]}" -qq source --print-uris "$pkg" | sed -n "s/^'\([^']*\)' \([^ ]*\) [0-9]* \(.*\)$/\1 \2 \3/p"
done | grep -E '\.orig\.tar|coinor-ipopt_.*\.debian\.tar' | while read -r url file hash; do
  /usr/lib/apt/apt-helper "${apt_opts[@]}" -qq download-file "$url" "$work/$file" "$hash" > /dev/null
done

# Only the upstream tarballs and, for Ipopt, Debian's patches are used.
cd "$work"
tar xJf metis_*.orig.tar.xz
tar xzf mumps_*.orig.tar.gz
tar xzf coinor-ipopt_*.orig.tar.gz
tar xJf coinor-ipopt_*.debian.tar.xz
ipopt_dir=$(echo "$work"/Ipopt-*)
while read -r p; do
  case "$p" in "" | \#*) continue ;; esac
  patch -s -d "$ipopt_dir" -p1 < "debian/patches/$p"
done < debian/patches/series

log "METIS"
metis=$(echo "$work"/metis-*)
# GKlib and libmetis share file names (util.c): one object folder each.
for part in GKlib libmetis; do
  mkdir -p "$work/metis-obj/$part"
  (cd "$work/metis-obj/$part" &&
    printf '%s\n' "$metis/$part"/*.c |
    xargs -P "$jobs" -n 8 gcc $cflags -std=c99 -fno-strict-aliasing -DNDEBUG -DNDEBUG2 \
      -DLINUX -D_FILE_OFFSET_BITS=64 -DHAVE_EXECINFO_H -DHAVE_GETLINE \
      -I"$metis/GKlib" -I"$metis/include" -I"$metis/libmetis" -w -c)
done
ar rcs "$work/libmetis.a" "$work"/metis-obj/*/*.o
cp "$metis/include/metis.h" "$work/"

log "MUMPS (sequential, double precision, METIS and PORD orderings)"
case "$blas" in
  reference) blas_libs="-llapack -lblas" ;;
  openblas) blas_libs="-lopenblas" ;;
esac
mumps=$(echo "$work"/MUMPS_*)
cat > "$mumps/Makefile.inc" << EOF
LPORDDIR = \$(topdir)/PORD/lib/
IPORD = -I\$(topdir)/PORD/include/
LPORD = -L\$(LPORDDIR) -lpord
IMETIS = -I$work
LMETIS = -L$work -lmetis
ORDERINGSF = -Dmetis -Dpord
ORDERINGSC = \$(ORDERINGSF)
LORDERINGS = \$(LMETIS) \$(LPORD)
IORDERINGSF =
IORDERINGSC = \$(IMETIS) \$(IPORD)
PLAT =
LIBEXT = .a
OUTC = -o
OUTF = -o
RM = /bin/rm -f
CC = gcc
FC = gfortran
FL = gfortran
# MUMPS writes \$(AR)libfoo.a: the value must end with a space.
NOTHING =
AR = ar vr \$(NOTHING)
RANLIB = ranlib
LAPACK = $blas_libs
INCSEQ = -I\$(topdir)/libseq
LIBSEQ = \$(LAPACK) -L\$(topdir)/libseq -lmpiseq
LIBBLAS = $blas_libs
LIBOTHERS = -lpthread
CDEFS = -DAdd_
OPTF = $cflags -fallow-argument-mismatch
OPTL = -O2
OPTC = $cflags
INCS = \$(INCSEQ)
LIBS = \$(LIBSEQ)
LIBSEQNEEDED = libseqneeded
EOF
# The library alone: no examples, no tests.
make -C "$mumps" -j"$jobs" prerequisites > "$work/mumps.log" 2>&1 &&
  make -C "$mumps/src" -j"$jobs" d >> "$work/mumps.log" 2>&1 || {
  tail -30 "$work/mumps.log" >&2
  log "MUMPS failed"
  exit 1
}
mkdir -p "$work/mumps-inc"
cp "$mumps"/include/*.h "$work/mumps-inc/"
cp "$mumps/libseq/mpi.h" "$work/mumps-inc/mpi.h"
mumps_libs="-L$mumps/lib -ldmumps -lmumps_common -lpord -L$mumps/libseq -lmpiseq -L$work -lmetis"

log "Ipopt"
case "$blas" in
  reference) blas_flags=(--with-blas-lib="-lblas" --with-lapack-lib="-llapack") ;;
  openblas) blas_flags=(--with-blas-lib="-lopenblas" --with-lapack-lib="-lopenblas") ;;
esac
mkdir -p "$work/ipopt-build"
cd "$work/ipopt-build"
"$ipopt_dir/configure" --prefix="$stage" --disable-static --enable-shared \
  --disable-dependency-tracking --disable-java --without-hsl --without-asl \
  --with-mumps-incdir="$work/mumps-inc" \
  --with-mumps-lib="$mumps_libs -lgfortran -lquadmath -lpthread" \
  "${blas_flags[@]}" \
  CFLAGS="-O2" CXXFLAGS="-O2" FFLAGS="-O2" CPPFLAGS="-DHAVE_CSTDDEF" \
  LDFLAGS="-Wl,--no-undefined" LIBS="$mumps_libs -lgfortran -lquadmath $blas_libs -lpthread" > "$work/ipopt.log" 2>&1 || {
  tail -30 "$work/ipopt.log" >&2
  tail -60 config.log >&2 || true
  log "Ipopt's configure failed"
  exit 1
}
grep -rq 'COIN_HAS_MUMPS 1' Ipopt/src/Common/ || {
  log "Ipopt's configure did not take MUMPS"
  exit 1
}
# Ipopt's own folder only: no third-party stubs, examples or tests.
make -j"$jobs" -C Ipopt > "$work/ipopt.log" 2>&1 &&
  make -C Ipopt install >> "$work/ipopt.log" 2>&1 || {
  tail -30 "$work/ipopt.log" >&2
  log "Ipopt's build failed"
  exit 1
}

mkdir -p "$(dirname "$prefix")"
rm -rf "$prefix"
mv "$stage" "$prefix"
# MUMPS and METIS are inside libipopt.so, and the .pc file named the
# staging folder: users link libipopt alone.
sed -i -e "s|$stage|$prefix|g" -e 's|^Libs:.*|Libs: -L${libdir} -lipopt|' \
  "$prefix"/lib/pkgconfig/ipopt.pc
rm -rf "$prefix"/lib/*.la "$prefix/share"
# The upstream notices of what libipopt.so contains, for whoever ships it.
mkdir -p "$prefix/share/licenses"
cp "$ipopt_dir/Ipopt/LICENSE" "$prefix/share/licenses/Ipopt-$(sed -n 's/^Version: //p' "$prefix/lib/pkgconfig/ipopt.pc").LICENSE"
cp "$mumps/LICENSE" "$prefix/share/licenses/$(basename "$mumps" | sed 's/_/-/').LICENSE"
cp "$metis/LICENSE.txt" "$prefix/share/licenses/$(basename "$metis").LICENSE"
echo "$ipopt_src $mumps_src $metis_src blas=$blas" > "$prefix/.complete"
log "done in $(($(date +%s) - start)) s (load: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "$prefix"
