#!/usr/bin/env bash
# Builds the solver vornel links by default: Ipopt 3.14.14 from its upstream
# release on a sequential MUMPS 5.7 ordered by METIS (both from Debian's
# source archive), into a cached prefix, and prints the prefix on its last
# line.
#
#   tools/build-ipopt.sh            build unless the cached prefix is complete
#   tools/build-ipopt.sh --prefix   print the prefix it would use, build nothing
#
# The prefix is ${VORNEL_CACHE:-$HOME/.cache/vornel}/ipopt-KEY; KEY hashes the
# source versions, the build options and this script, so changing any of them
# builds anew and nothing else does. The prefix holds lib/libipopt.so.3 (MUMPS,
# METIS and PORD linked in statically; BLAS, LAPACK and the Fortran runtime
# are the system's shared libraries), the headers, lib/pkgconfig/ipopt.pc and
# the licences of what the library contains.
#
# Environment:
#   VORNEL_BLAS=openblas|reference  the BLAS and LAPACK (default: see below)
#   VORNEL_JOBS                     make's parallel jobs (default 2)
#   VORNEL_SOURCES                  where the Ipopt release tarball is looked
#                                   for first (default $VORNEL_CACHE/sources)
#
# Ipopt's release tarball is taken from VORNEL_SOURCES, else from
# ../shared/vendor/ beside the checkout, else downloaded from the upstream
# tag's archive; whichever it is, the SHA-256 of its uncompressed tar stream
# must match before anything is built (the compressed bytes of a download may
# differ from one fetch to the next; the stream does not). MUMPS and METIS
# come through apt's own client with a private sources list, so the files are
# checked against Debian's signed indices; the system's apt configuration is
# not touched. Build tools come from Debian's packages. The patches in
# tools/patches/ make MUMPS report running out of memory instead of ending
# the process.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

ipopt_version=3.14.14
ipopt_tarball=Ipopt-releases-$ipopt_version.tar.gz
ipopt_url=https://github.com/coin-or/Ipopt/archive/refs/tags/releases/$ipopt_version.tar.gz
# Of the uncompressed tar stream (top folder Ipopt-releases-3.14.14/).
ipopt_sha256=5788032394075d35799e630c39769b96933c1a4757c9fe50ca3736c1888454fe
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

key=$( (echo "ipopt=$ipopt_version $ipopt_sha256 $mumps_src $metis_src $blas $cflags"
  # The Debian release fixes the compilers; asking gcc itself would key the
  # build differently before and after the tools below are installed.
  cut -d. -f1 /etc/debian_version 2> /dev/null || true
  cat "$0"
  (find "$here/patches" -name 'mumps-*.patch' 2> /dev/null || true) | LC_ALL=C sort | xargs -r cat) | sha256sum | cut -c1-16)
cache=${VORNEL_CACHE:-$HOME/.cache/vornel}
prefix=$cache/ipopt-$key
if [ "${1:-}" = "--prefix" ]; then echo "$prefix"; exit 0; fi
if [ -f "$prefix/.complete" ]; then echo "$prefix"; exit 0; fi

log() { echo "build-ipopt: $*" >&2; }
start=$(date +%s)

sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
tools=(gfortran g++ gcc make pkg-config dpkg-dev xz-utils patch curl ca-certificates)
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
echo "deb-src [signed-by=$keyring] $uri $src_suite main" > "$work/sources.list"
apt_opts=(-o Dir::Etc::sourcelist="$work/sources.list" -o Dir::Etc::sourceparts=-
  -o Dir::State::Lists="$work/lists" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
# The Ipopt tarball: checked before any of it is unpacked.
sources=${VORNEL_SOURCES:-$cache/sources}
vendor=$(cd "$here/../.." && pwd)/shared/vendor
stream_sha256() {
  case "$(head -c 6 "$1" | od -An -tx1 | tr -d ' \n')" in
    1f8b*) gzip -dc "$1" ;;
    fd377a585a00) xz -dc "$1" ;;
    425a68*) bzip2 -dc "$1" ;;
    *) cat "$1" ;;
  esac | sha256sum | cut -d' ' -f1
}
tarball=""
for dir in "$sources" "$vendor"; do
  if [ -f "$dir/$ipopt_tarball" ]; then tarball=$dir/$ipopt_tarball; break; fi
done
if [ -z "$tarball" ]; then
  log "downloading $ipopt_url"
  mkdir -p "$sources"
  curl -fsSL --retry 3 -o "$work/$ipopt_tarball" "$ipopt_url" || {
    log "could not download $ipopt_url; put $ipopt_tarball in $sources"
    exit 1
  }
  tarball=$work/$ipopt_tarball
fi
sum=$(stream_sha256 "$tarball")
if [ "$sum" != "$ipopt_sha256" ]; then
  log "$tarball is not Ipopt $ipopt_version's release: the SHA-256 of its uncompressed stream is"
  log "  $sum, not"
  log "  $ipopt_sha256"
  log "remove it (or fetch it again) and rerun"
  exit 1
fi
# A checked download is kept for the next build.
[ "$tarball" != "$work/$ipopt_tarball" ] || cp "$tarball" "$sources/$ipopt_tarball"
log "Ipopt $ipopt_version: $tarball (checked)"

log "fetching $mumps_src $metis_src"
apt-get "${apt_opts[@]}" -qq update
# The upstream tarballs, each checked against the hash in the signed index
# by apt's own downloader (the mirror need not carry the .dsc files, which
# are not used).
for pkg in "$mumps_src" "$metis_src"; do
  apt-get "${apt_opts[@]}" -qq source --print-uris "$pkg" | sed -n "s/^'\([^']*\)' \([^ ]*\) [0-9]* \(.*\)$/\1 \2 \3/p"
done | grep -E '\.orig\.tar' | while read -r url file hash; do
  /usr/lib/apt/apt-helper "${apt_opts[@]}" -qq download-file "$url" "$work/$file" "$hash" > /dev/null
done

# Only the upstream tarballs are used, not Debian's packaging.
cd "$work"
tar xJf metis_*.orig.tar.xz
tar xzf mumps_*.orig.tar.gz
tar xaf "$tarball"
mumps=$(echo "$work"/MUMPS_*)
for p in $(find "$here/patches" -name 'mumps-*.patch' 2> /dev/null | LC_ALL=C sort); do
  patch -s -d "$mumps" -p1 < "$p" || { log "$(basename "$p") does not apply"; exit 1; }
done
ipopt_dir=$work/Ipopt-releases-$ipopt_version
[ -x "$ipopt_dir/configure" ] || { log "$tarball has no Ipopt-releases-$ipopt_version/configure"; exit 1; }

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

log "Ipopt $ipopt_version"
mkdir -p "$work/ipopt-build"
cd "$work/ipopt-build"
# No HSL, Pardiso or SPRAL linked in: a user with an HSL library loads it at
# run time (hsllib), which Ipopt's linear-solver loader, built by default,
# allows.
"$ipopt_dir/configure" --prefix="$stage" --disable-static --enable-shared \
  --disable-dependency-tracking --disable-java --disable-sipopt \
  --without-hsl --without-asl --without-spral \
  --with-mumps-cflags="-I$work/mumps-inc" \
  --with-mumps-lflags="$mumps_libs -lgfortran -lquadmath -lpthread" \
  --with-lapack-lflags="$blas_libs" \
  CFLAGS="-O2" CXXFLAGS="-O2" FFLAGS="-O2" \
  LDFLAGS="-Wl,--no-undefined" > "$work/ipopt.log" 2>&1 || {
  tail -30 "$work/ipopt.log" >&2
  tail -60 config.log >&2 || true
  log "Ipopt's configure failed"
  exit 1
}
grep -rqE 'IPOPT_HAS_MUMPS 1|COIN_HAS_MUMPS 1' src/ || {
  log "Ipopt's configure did not take MUMPS"
  exit 1
}
# The library and its headers: no examples or tests.
make -j"$jobs" > "$work/ipopt.log" 2>&1 &&
  make install >> "$work/ipopt.log" 2>&1 || {
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
  -e '/^#/d' -e '/^Libs.private:/d' -e '/^Requires.private:/d' "$prefix"/lib/pkgconfig/ipopt.pc
rm -rf "$prefix"/lib/*.la "$prefix/share" "$prefix"/bin

# The upstream notices of what libipopt.so contains, for whoever ships it.
mkdir -p "$prefix/share/licenses"
cp "$ipopt_dir/LICENSE" "$prefix/share/licenses/Ipopt-$(sed -n 's/^Version: //p' "$prefix/lib/pkgconfig/ipopt.pc").LICENSE"
cp "$mumps/LICENSE" "$prefix/share/licenses/$(basename "$mumps" | sed 's/_/-/').LICENSE"
cp "$metis/LICENSE.txt" "$prefix/share/licenses/$(basename "$metis").LICENSE"
echo "ipopt=$ipopt_version $mumps_src $metis_src blas=$blas" > "$prefix/.complete"
log "done in $(($(date +%s) - start)) s (load: $(cut -d' ' -f1-3 /proc/loadavg))"
echo "$prefix"
