#include "base/arraylist.hpp"
