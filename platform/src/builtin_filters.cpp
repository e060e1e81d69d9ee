#include "builtin_filters.h"

namespace vellari::detail {

// Called once, by the filter registry on first use.
void registerBuiltinFilters() {
    registerBlurFilters();
    registerColorFilters();
    registerCompositingFilters();
    registerMorphologyFilters();
}

}  // namespace vellari::detail
