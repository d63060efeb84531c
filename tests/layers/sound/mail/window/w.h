#pragma once
// A window including logic below it and its own folder: accepted.
#include "mail/mail_view.h"
#include "mail/window/other.h"
#include "qtkit/notice.h"
