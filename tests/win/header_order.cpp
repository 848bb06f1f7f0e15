// The same checks as header_order.c, compiled as C++.
#include "header_order.c"
