#include "lineage/state.hpp"

namespace lineage {

State state;

}  // namespace lineage
