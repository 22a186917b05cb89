// Id: the e-class identifier. Ids are issued densely from 0 by the union-find
// and never reused; an id stays valid after its class is merged away.
#pragma once

#include <cstdint>

namespace nodalis::egraph {

using Id = uint32_t;

}  // namespace nodalis::egraph
