#include "support/log_capture.hpp"
