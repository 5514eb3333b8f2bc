// placeholder: the library's unit is being written.
#include "commonTimerManager.h"
