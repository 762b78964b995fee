// Placeholder until the SIGNAL field lands.
#include "signal_field.h"
int32_t build_signal_symbol(int32_t, int32_t, int32_t, int32_t* pilot_state, int32_t, double*, double*) {
    (void)pilot_state;
    return 0;
}
