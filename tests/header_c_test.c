/* Compiled as C: the public header must be valid C11 and lay out WaveParams
 * exactly as callers in other languages expect. */
#include <stddef.h>
#include <stdio.h>

#include "orvasynth.h"

int main(void) {
    int bad = 0;
    bad |= sizeof(WaveParams) != 168;
    bad |= offsetof(WaveParams, papr) != 88;
    bad |= offsetof(WaveParams, rate_index) != 120;
    bad |= offsetof(WaveParams, filter_taps) != 144;
    WaveParams p = {0};
    /* An invalid output mode must come back as the documented mask. */
    p.pn_seed = 1;
    p.oversampling = 4;
    p.filter_taps = 191;
    bad |= orv_11a_actual(&p, 2, "/nonexistent/never-written") != (int32_t)0x82000000u;
    if (bad) printf("header layout or call mismatch\n");
    return bad;
}
