#pragma once
// The directory client reaching into its sibling, the engine: refused.
#include "engine/engine.h"
