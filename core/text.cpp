#include "core/text.h"

#ifndef ORV_DEFAULT_LANGUAGE_ZH
#define ORV_DEFAULT_LANGUAGE_ZH 1
#endif

namespace orv {

UiLanguage defaultUiLanguage() {
    return ORV_DEFAULT_LANGUAGE_ZH ? UiLanguage::Chinese : UiLanguage::English;
}

}  // namespace orv
