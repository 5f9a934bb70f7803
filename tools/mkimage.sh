#!/usr/bin/env bash
# Builds the KVAL boot floppy: a 1.44 MB FAT12 image with the boot sector in
# block 0, the loader's stage 2 as LOADER.BIN and the kernel as KERNEL.BIN in
# the root folder, and then every file and folder under the disk directories
# (the sources in disk/ and the files made at build time, such as the
# pictures); no two of them may bring the same name.
#
#   tools/mkimage.sh IMAGE BOOT_SECTOR STAGE2 KERNEL DISK_DIR...
#
# The file system is made by mkfs.fat and filled by mtools. The image is
# assembled in a temporary file next to IMAGE and moved into place only when
# complete and checked, so a failed run never leaves a half-built image.
set -euo pipefail

readonly PROG=${0##*/}

die() {
    echo "$PROG: error: $*" >&2
    exit 1
}

[[ $# -ge 5 ]] || die "usage: $PROG IMAGE BOOT_SECTOR STAGE2 KERNEL DISK_DIR..."
image=$1 boot=$2 stage2=$3 kernel=$4
shift 4
disk_dirs=("$@")

for tool in mkfs.fat fsck.fat mcopy mmd od cmp dd; do
    command -v "$tool" >/dev/null 2>&1 ||
        die "'$tool' not found (mtools and dosfstools; tools/install-deps.sh installs them)"
done
for file in "$boot" "$stage2" "$kernel"; do
    [[ -f $file ]] || die "'$file' does not exist"
done
for disk_dir in "${disk_dirs[@]}"; do
    [[ -d $disk_dir ]] || die "disk directory '$disk_dir' does not exist"
done

# --- the floppy's geometry; loader/fat12.inc uses the same numbers -------------
readonly SECTOR_SIZE=512
readonly FLOPPY_KIB=1440            # 2880 sectors: 80 cylinders x 2 heads x 18
readonly ROOT_ENTRIES=224
readonly MEDIA=0xF0
readonly VOLUME_LABEL=KVAL
readonly VOLUME_ID=4B56414C         # "KVAL"; fixed rather than random

# Limits the loader enforces at boot, checked here already.
readonly STAGE2_MAX=32768           # the boot sector loads it to 0x8000-0xFFFF
readonly KERNEL_MAX=1048576         # the loader maps 1 MiB of kernel image
readonly KERNEL_HEADER_SIZE=16

# size_of FILE: its size in bytes.
size_of() {
    stat -c %s "$1"
}

# u32_at FILE OFFSET: the little-endian 32-bit word at OFFSET.
u32_at() {
    local -a b
    read -r -a b < <(od -An -tu1 -j "$2" -N 4 "$1")
    [[ ${#b[@]} -eq 4 ]] || die "'$1' is too short to hold a word at byte $2"
    echo $((b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24))
}

# --- the inputs ------------------------------------------------------------------

[[ $(size_of "$boot") -eq $SECTOR_SIZE ]] ||
    die "boot sector '$boot' is $(size_of "$boot") bytes, not $SECTOR_SIZE"
[[ $(od -An -tx1 -j 510 -N 2 "$boot" | tr -d ' \n') == 55aa ]] ||
    die "boot sector '$boot' does not end with the signature 0x55 0xAA"

stage2_size=$(size_of "$stage2")
((stage2_size > 0 && stage2_size <= STAGE2_MAX)) ||
    die "stage 2 '$stage2' is $stage2_size bytes; the boot sector loads 1 to $STAGE2_MAX bytes"

kernel_size=$(size_of "$kernel")
((kernel_size >= KERNEL_HEADER_SIZE)) ||
    die "kernel '$kernel' is $kernel_size bytes, too short for its header"
cmp -s -n 8 "$kernel" <(printf KVALKRNL) ||
    die "kernel '$kernel' does not start with the magic \"KVALKRNL\""
footprint=$(u32_at "$kernel" 12)
if ((footprint > KERNEL_MAX || kernel_size > KERNEL_MAX)); then
    die "kernel too large: '$kernel' needs $footprint bytes in memory" \
        "($kernel_size in the file); the loader takes at most $KERNEL_MAX bytes (1 MiB)"
fi
((footprint % SECTOR_SIZE == 0 && footprint >= kernel_size)) ||
    die "kernel header of '$kernel' is inconsistent: footprint $footprint bytes," \
        "file $kernel_size bytes (the footprint must cover the file in whole sectors)"

# --- names on the disk -------------------------------------------------------------

# The kernel reads only 8.3 names (no long names), so every name under the
# disk directory must already be one; it is stored in upper case.
readonly DOS_CHARS="[A-Z0-9_$~!#%&'(){}@^\`-]"
dos_name() {
    local name=${1^^}
    [[ $name =~ ^${DOS_CHARS}{1,8}(\.${DOS_CHARS}{1,3})?$ ]] ||
        die "'$2' is not an 8.3 name (up to 8 characters, a dot, up to 3)"
    echo "$name"
}

declare -A taken=([/LOADER.BIN]=loader [/KERNEL.BIN]=kernel)
claim() {
    [[ -z ${taken[$1]+set} ]] || die "'$2' would land on ::$1, which is already taken"
    taken[$1]=$2
}

# --- build ---------------------------------------------------------------------------

mkdir -p "$(dirname "$image")"
tmp=$(mktemp "$image.XXXXXX")
trap 'rm -f "$tmp"' EXIT
rm -f "$tmp"                        # mkfs.fat -C creates the file itself

# --invariant: fixed dates in the new file system, so that equal inputs give
# byte-for-byte equal images.
mkfs.fat --invariant -C -F 12 -S "$SECTOR_SIZE" -s 1 -R 1 -f 2 -r "$ROOT_ENTRIES" \
    -M "$MEDIA" -g 2/18 -h 0 -D 0 -n "$VOLUME_LABEL" -i "$VOLUME_ID" --mbr=n \
    "$tmp" "$FLOPPY_KIB" >/dev/null ||
    die "mkfs.fat could not format '$tmp'"

# The geometry part of the BPB (bytes 11-35) that mkfs.fat wrote must be the
# one the boot sector and stage 2 were assembled for.
cmp -s <(od -An -tx1 -j 11 -N 25 "$tmp") <(od -An -tx1 -j 11 -N 25 "$boot") ||
    die "the BPB written by mkfs.fat differs from the one in '$boot':" \
        "the loader would read the wrong sectors"

# Boot code: the short jump and the OEM name (bytes 0-10) and everything after
# the BPB (62-511); the BPB itself stays as mkfs.fat wrote it (with its volume
# id and label).
dd if="$boot" of="$tmp" bs=1 count=11 conv=notrunc status=none
dd if="$boot" of="$tmp" bs=1 skip=62 seek=62 count=450 conv=notrunc status=none

export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1 MTOOLSRC=/dev/null

put_file() { # SOURCE DISK_PATH
    mcopy -m -i "$tmp" "$1" "::$2" </dev/null ||
        die "could not copy '$1' to ::$2 (is the floppy full? all files must fit into 1.44 MB)"
}

put_file "$stage2" /LOADER.BIN
put_file "$kernel" /KERNEL.BIN

# Parents sort before their contents; dot files (editor and VCS leftovers) are
# not part of the disk.
for disk_dir in "${disk_dirs[@]}"; do
    [[ $disk_dir == / ]] || disk_dir=${disk_dir%/}
    while IFS= read -r -d '' path; do
        rel=${path#"$disk_dir"/}
        target=""
        IFS=/ read -r -a parts <<<"$rel"
        for part in "${parts[@]}"; do
            target+=/$(dos_name "$part" "$path")
        done
        claim "$target" "$path"
        if [[ -d $path ]]; then
            # mtools dates new folders "now" unless SOURCE_DATE_EPOCH says
            # otherwise; the source folder's date keeps the image reproducible.
            SOURCE_DATE_EPOCH=$(stat -c %Y "$path") mmd -i "$tmp" "::$target" </dev/null ||
                die "could not create the folder ::$target"
        elif [[ -f $path ]]; then
            put_file "$path" "$target"
        else
            die "'$path' is neither a file nor a folder"
        fi
    done < <(find "$disk_dir" -mindepth 1 -name '.*' -prune -o -print0 | LC_ALL=C sort -z)
done

fsck.fat -n "$tmp" >/dev/null || die "fsck.fat found problems in the new image"
[[ $(size_of "$tmp") -eq $((FLOPPY_KIB * 1024)) ]] || die "the image has the wrong size"

mv -f "$tmp" "$image"
trap - EXIT
echo "$PROG: $image: kernel $kernel_size bytes (footprint $footprint), stage 2 $stage2_size bytes"
