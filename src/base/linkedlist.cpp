#include "base/linkedlist.hpp"
