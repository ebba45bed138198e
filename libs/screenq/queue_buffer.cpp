#include "libs/screenq/queue_buffer.h"
