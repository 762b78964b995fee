// Placeholder until the DATA field lands.
#include "data_field.h"
int32_t build_data_field(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, double*, double*, int32_t) { return 0; }
