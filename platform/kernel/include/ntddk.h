// The Windows Driver Kit's ntddk.h: the WDM interface plus a few routines of the full kernel.
#pragma once

#include <wdm.h>
