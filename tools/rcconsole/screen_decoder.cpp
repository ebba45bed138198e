#include "tools/rcconsole/screen_decoder.h"
