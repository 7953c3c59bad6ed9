// The USB driver interface: URBs and the internal device-control codes.
#pragma once

#include <usb.h>
#include <usbioctl.h>
