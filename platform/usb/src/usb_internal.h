// Internal parts of the USB stand-in shared by its files.
#pragma once

#include <kstandin/usb.h>

namespace kstandin::usb::detail {

// The USB stack's pool tag, bytes 'U' 'S' 'B' 'D' in memory order.
constexpr ULONG kUsbdPoolTag = 0x44425355;

}  // namespace kstandin::usb::detail
