#include "agent/screen_codec.h"
