// USB 2.0 descriptor definitions: the standard ones of usbspec.h.
#pragma once

#include <usb100.h>
