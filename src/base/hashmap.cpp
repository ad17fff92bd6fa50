#include "base/hashmap.hpp"
