#pragma once
// A low folder reaching up: the layer check must refuse it.
#include "session/client_session.h"
