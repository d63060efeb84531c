#pragma once
// Downward includes and a folder of its own: accepted.
#include "core/clock.h"
#include "engine/peer.h"
#include "net/socket_api.h"
