#include "module_state.h"

HINSTANCE moduleInstance = NULL;
LPCSTR displayName = NULL;
HANDLE sourceFile = INVALID_HANDLE_VALUE;
FT_HANDLE deviceHandle = NULL;
HANDLE senderThread = NULL;
volatile LONG cancelRequested = 0;
HMODULE senderModule = NULL;
volatile LONG senderResult = DownloadUserCancelled;
volatile LONG senderFinished = 0;
