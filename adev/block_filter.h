// The "uevent block_filter": stable link names under /dev for USB storage
// disks, chosen by the port the disk hangs on.
#pragma once

// A row of the storage link table: disks whose DEVPATH contains fragment get
// links named after base.
struct storage_link_row {
    const char *fragment;
    const char *base;
};

// Checked in this order; every matching row makes its link.
inline constexpr storage_link_row storage_link_table[] = {
    {"/devices/platform/omap/usbhs_omap/ehci-omap.0/usb1/1-1/1-1.1", "hdd"},
    {"/devices/platform/omap/usbhs_omap/ehci-omap.0/usb1/1-1/1-1:1.0", "storage_ehci"},
    {"/devices/platform/omap/usbhs_omap/ehci-omap.0/usb1/1-1/1-1.2", "storage_ehci"},
    {"/devices/platform/omap/musb-omap2430/musb-hdrc/usb2/2-1", "storage_otg"},
};

// Longest texts kept: kernel name (after "block/"), link and target names,
// partition name.
inline constexpr int kernel_name_max = 35;
inline constexpr int link_name_max = 49;
inline constexpr int partition_name_max = 31;

// Creates the symbolic link for kernel_name: a disk ("sda") gives /dev/<base>
// -> /dev/sda, a partition ("sda/sda1") /dev/<base>1 -> /dev/sda1, numbered
// by the partition name's trailing digits. An existing file is left alone.
// Returns symlink's result; -1 when nothing is made (deeper names, a
// partition name without a number, names too long).
int storage_link(const char *kernel_name, const char *base);
