/* Compiled as C: the public header must be valid C11 and lay out WaveParams
 * exactly as callers in other languages expect; the sequence records' fields
 * sit where the Python caller (tests/ctypes_sequence.py) puts them. */
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
    /* OrvSequenceParams: ten 32-bit fields, then the doubles, then the count. */
    bad |= offsetof(OrvSequenceParams, window_tr) != 40;
    bad |= offsetof(OrvSequenceParams, crest_q) != 136;
    bad |= offsetof(OrvSequenceParams, total_samples) != 144;
    bad |= offsetof(OrvPacket, psdu) != 16;
    {
        OrvSequenceParams sp = {0};
        OrvPacket pk = {0};
        static const uint8_t psdu[4] = {1, 2, 3, 4};
        sp.size = sizeof sp;
        sp.oversampling = 1;
        sp.channel_mhz = 20;
        pk.size = sizeof pk;
        pk.scrambler_init = 93;
        pk.psdu_length = 4;
        pk.psdu = psdu;
        pk.rate_index = 8; /* refused: the documented mask, packet 0 named */
        bad |= orv_11a_sequence(&sp, &pk, 1, 0, "/nonexistent/never-written", NULL) !=
               (int32_t)(ORV_INVALID | ORV_SEQ_BAD_RATE);
        bad |= sp.bad_packet != 0;
        bad |= orv_11a_sequence_blocks(NULL, &pk, 1, NULL, NULL, NULL) != (int32_t)ORV_INVALID;
        {
            /* A record of another size: only its bit, nothing written. */
            OrvImpairments im = {0};
            im.size = sizeof im + 8;
            pk.rate_index = 7;
            bad |= orv_11a_sequence_impaired(&sp, &im, &pk, 1, 0, "/nonexistent/never-written",
                                             NULL) != (int32_t)(ORV_INVALID | ORV_IMP_BAD_SIZE);
            im.size = sizeof im;
            im.snr_enable = 2;
            bad |= orv_11a_sequence_impaired_blocks(&sp, &im, &pk, 1, NULL, NULL, NULL) !=
                   (int32_t)(ORV_INVALID | ORV_SEQ_BAD_OUTPUT | ORV_IMP_BAD_SNR);
        }
    }
    if (bad) printf("header layout or call mismatch\n");
    return bad;
}
