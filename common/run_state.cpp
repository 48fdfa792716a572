#include "common/run_state.h"

constinit RunState run;
