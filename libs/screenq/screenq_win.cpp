#include "libs/screenq/screenq.h"
