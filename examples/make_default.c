/* Writes the front-end's default burst (36 Mbit/s, 100 symbols, oversampling 8,
 * 160 us burst-off gap) to the file named on the command line, as a C caller
 * of the library would. Usage: orv_example FILE [csv] */
#include <stdio.h>
#include <string.h>

#include "orvasynth.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [csv]\n", argv[0]);
        return 1;
    }
    WaveParams p;
    memset(&p, 0, sizeof p);
    p.burst_off_time = 160 * 1e-6;
    p.filter_rolloff = 0.25;
    p.burst_enable = 1;
    p.rate_index = 5;
    p.ofdm_symbols = 100;
    p.pn_seed = 0xFFFF;
    p.oversampling = 8;
    p.filter_taps = 191;
    int32_t mode = (argc > 2 && strcmp(argv[2], "csv") == 0) ? 1 : 0;
    int32_t rc = orv_11a_actual(&p, mode, argv[1]);
    if (rc != 0) {
        fprintf(stderr, "orv_11a_actual returned %X\n", (unsigned)rc);
        return 2;
    }
    printf("%s written\nRF crest factor     :  %.6f\n I  sig crest factor :  %.6f\n"
           " Q sig crest factor :  %.6f\n", argv[1], p.papr, p.crest_i, p.crest_q);
    return 0;
}
