// USB 1.0 descriptor definitions: the standard ones of usbspec.h.
#pragma once

#include <usbspec.h>
