#!/bin/sh
# The real-driver rows: lumtrex in a small Linux guest under QEMU, on the
# kernel's 8250 driver (ttyS1), ftdi_sio (ttyUSB0) and cdc_acm (ttyACM0: a
# USB serial gadget on the dummy host controller, fed through ttyGS0), with a
# virtio disk made afresh as ext4 for each run. The guest is made once
# in GUEST_DIR from Debian's kernel and busybox-static, downloaded and
# unpacked there, never installed; later runs start at once.
# Usage: real_drivers.sh GUEST_DIR STATIC_LUMTREX E2E_TESTS
set -eu
program=$(realpath "$2") tests=$(realpath "$3") init=$(realpath "$(dirname "$0")/guest/init")
mkdir -p "$1"
dir=$(realpath "$1")
# In CI every suite runs: there a reason to skip is a failure.
skip() {
    echo "*** the real-driver suite is SKIPPED: $1 ***"
    [ "${CI:-}" != true ] || exit 1
    exit 77
}
[ "$(uname -m)" = x86_64 ] || skip "not an x86-64 machine"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is missing"
command -v cpio >/dev/null && command -v xz >/dev/null || skip "cpio or xz is missing"
command -v mkfs.ext4 >/dev/null || skip "mkfs.ext4 is missing"
cd "$dir"

# Each module after the ones its depends= field names (the package has no
# modules.dep), unpacked where the kernel ships it compressed. "?name": only
# where the kernel has it as a module (else it is built in).
add_module() {
    local file name dep wanted=${1#\?}
    file=$(find download/kernel/lib/modules -name "$wanted.ko*" -o -name "$(echo "$wanted" | tr _ -).ko*" | head -1)
    [ -n "$file" ] || [ "$wanted" = "$1" ] || return 0
    [ -n "$file" ] || { echo "module $1 not found"; exit 1; }
    name=$(basename "$file" | sed 's/\.ko.*//')
    grep -qx "$name" root/modules/order 2>/dev/null && return
    xz -dcf "$file" > "root/modules/$name.ko"
    for dep in $(tr '\0' '\n' < "root/modules/$name.ko" | sed -n 's/^depends=//p' | tr , ' '); do add_module "$dep"; done
    echo "$name" >> root/modules/order
}

if [ ! -e ready-gadget ]; then
    rm -rf download root
    mkdir -p download root/bin root/modules
    kernel=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-.*\)$/\1/p' | head -1)
    [ -n "$kernel" ] || skip "apt knows no linux-image-amd64"
    (cd download && apt-get download "$kernel" busybox-static >/dev/null 2>&1) || skip "apt-get download $kernel failed"
    dpkg-deb -x download/linux-image-*.deb download/kernel
    dpkg-deb -x download/busybox-static_*.deb download/busybox
    # The bzImage carries the kernel as an xz stream: booted uncompressed (PVH), it starts seconds sooner.
    bzimage=$(ls download/kernel/boot/vmlinuz-*)
    at=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$bzimage" | head -1 | cut -d: -f1)
    tail -c +$((at + 1)) "$bzimage" | xz -dc --single-stream > vmlinux
    cp download/busybox/bin/busybox root/bin/
    for applet in $(root/bin/busybox --list); do [ -e "root/bin/$applet" ] || ln -s busybox "root/bin/$applet"; done
    for module in usb_common usbcore xhci_hcd xhci_pci usbserial ftdi_sio virtio_pci 9pnet_virtio 9p virtio_blk \
        ?crc32c_generic ?crc32c_intel ext4 udc_core dummy_hcd cdc_acm libcomposite u_serial usb_f_acm g_serial; do
        add_module $module
    done
    rm -rf download
    touch ready-gadget
fi
rm -f disk.img
truncate -s 64M disk.img
mkfs.ext4 -q -F disk.img
cp "$program" root/bin/lumtrex
cp "$init" root/init
(cd root && find . | cpio -o -H newc --quiet) > initramfs.cpio

# KVM only where it really boots: nested, it can stop at the first MSR.
if [ ! -e accel ]; then
    echo tcg > accel
    if [ -w /dev/kvm ] && timeout 30 qemu-system-x86_64 -accel kvm -m 256 -nodefaults -display none -no-reboot \
        -kernel vmlinux -initrd initramfs.cpio -append "console=ttyS0 lumtrex.probe" -serial stdio 2>/dev/null |
        grep -q "probe booted"; then
        echo kvm > accel
    fi
fi
LUMTREX_GUEST=$dir LUMTREX_GUEST_ACCEL=$(cat accel) exec "$tests" --gtest_filter="${LUMTREX_GUEST_FILTER:-Rows/RealDrivers.*}"
