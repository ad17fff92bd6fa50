#include "base/collection.hpp"
