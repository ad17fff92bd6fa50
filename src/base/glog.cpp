#include "base/glog.hpp"
