/*
 * Orvasynth: IEEE 802.11a OFDM test-waveform synthesis.
 *
 * orv_11a_actual turns a WaveParams record into one waveform file of a
 * test-pattern burst: an AWG waveform file (output mode 0) or a CSV file of
 * the floating-point I/Q samples (output mode 1). orv_11a_sequence and
 * orv_11a_sequence_blocks make a sequence of standard frames from caller's
 * PSDUs, into such a file or block by block to a callback.
 *
 * Calls from several threads are safe: one process-wide lock serialises
 * them (all three functions), so each call runs alone and writes what it would write alone. The
 * library keeps one piece of state between calls, the Gaussian noise
 * generator's shuffle table, so a noisy file depends on the noisy calls
 * made before it in the same process (in the order the lock admitted them).
 * Long records use helper threads inside the call (noise, CSV formatting,
 * mapping pages in); all are joined before it returns, and the files are the
 * same on any number of cores or when no thread can be started.
 * No exception leaves the functions.
 */
#ifndef ORVASYNTH_H
#define ORVASYNTH_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ORVASYNTH_BUILDING)
#    define ORV_API __declspec(dllexport)
#  else
#    define ORV_API __declspec(dllimport)
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    define ORV_CALL __stdcall
#  else
#    define ORV_CALL
#  endif
#else
#  if defined(ORVASYNTH_BUILDING)
#    define ORV_API __attribute__((visibility("default")))
#  else
#    define ORV_API
#  endif
#  define ORV_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The parameter record: fourteen doubles, then fourteen int32, no padding,
 * 168 bytes. Fields marked "out" are written by orv_11a_actual. */
typedef struct WaveParams {
    double burst_off_time;   /* s, silent gap after the burst when burst_enable is 1 */
    double window_tr;        /* s, edge-taper transition time; <= 1e-12 means none */
    double filter_cutoff;    /* Hz, transmit filter runs only when > 1e-12 */
    double filter_rolloff;   /* raised-cosine roll-off factor */
    double freq_error;       /* Hz, used when freq_error_enable is 1 */
    double if_freq;          /* Hz, used when if_enable is 1 */
    double dc_offset_re;     /* percent of the burst's peak envelope */
    double dc_offset_im;     /* percent of the burst's peak envelope */
    double noise_level;      /* dB absolute, used when noise_enable is 1 */
    double sine_freq;        /* Hz, used when sine_enable is 1 */
    double sine_level;       /* dB absolute, used when sine_enable is 1 */
    double papr;             /* out, dB (0.0 in output mode 1) */
    double crest_i;          /* out, dB (0.0 in output mode 1) */
    double crest_q;          /* out, dB (0.0 in output mode 1) */
    int32_t frame_format;    /* 0 full burst; other: DATA symbols only */
    int32_t burst_enable;    /* 1: append burst_off_time of zeros */
    int32_t rate_index;      /* 0..7: 6, 9, 12, 18, 24, 36, 48, 54 Mbit/s */
    int32_t ofdm_symbols;    /* number of DATA OFDM symbols, 0..151 */
    int32_t pn_seed;         /* initial payload generator state, nonzero */
    int32_t data_pattern;    /* 0..6: PN9, PN15, PN19, PN20, PN23, ALL 0, ALL 1 */
    int32_t oversampling;    /* 1..10, sampling rate = 20 MHz times this */
    int32_t reserved;        /* must be 0 */
    int32_t filter_taps;     /* transmit filter length */
    int32_t iq_inverse;      /* 1: synthesised I and Q exchanged */
    int32_t freq_error_enable;
    int32_t if_enable;
    int32_t noise_enable;
    int32_t sine_enable;
} WaveParams;

#ifdef __cplusplus
static_assert(sizeof(WaveParams) == 168, "WaveParams must be 168 bytes");
static_assert(offsetof(WaveParams, crest_q) == 104, "doubles first");
static_assert(offsetof(WaveParams, frame_format) == 112, "int32 after 14 doubles");
static_assert(offsetof(WaveParams, sine_enable) == 164, "no padding");
#else
_Static_assert(sizeof(WaveParams) == 168, "WaveParams must be 168 bytes");
_Static_assert(offsetof(WaveParams, crest_q) == 104, "doubles first");
_Static_assert(offsetof(WaveParams, frame_format) == 112, "int32 after 14 doubles");
_Static_assert(offsetof(WaveParams, sine_enable) == 164, "no padding");
#endif

/* Result codes of orv_11a_actual (besides a validation mask with bit 31 set). */
#define ORV_OK 0
#define ORV_NO_MEMORY 1
#define ORV_LENGTH_OVERFLOW 2
#define ORV_WRITE_FAILED 4
#define ORV_INVALID 0x80000000u

/* Validation mask bits: one per input field, bit 25 for the output mode. */
#define ORV_BAD_FRAME_FORMAT      0x00000001u
#define ORV_BAD_BURST_ENABLE      0x00000002u
#define ORV_BAD_BURST_OFF_TIME    0x00000004u
#define ORV_BAD_RATE_INDEX        0x00000008u
#define ORV_BAD_OFDM_SYMBOLS      0x00000010u
#define ORV_BAD_PN_SEED           0x00000020u
#define ORV_BAD_DATA_PATTERN      0x00000040u
#define ORV_BAD_OVERSAMPLING      0x00000080u
#define ORV_BAD_WINDOW_TR         0x00000100u
#define ORV_BAD_FILTER_CUTOFF     0x00000200u
#define ORV_BAD_FILTER_ROLLOFF    0x00000400u
#define ORV_BAD_RESERVED          0x00000800u
#define ORV_BAD_FILTER_TAPS       0x00001000u
#define ORV_BAD_IQ_INVERSE        0x00002000u
#define ORV_BAD_FREQ_ERROR_ENABLE 0x00004000u
#define ORV_BAD_FREQ_ERROR        0x00008000u
#define ORV_BAD_IF_ENABLE         0x00010000u
#define ORV_BAD_IF_FREQ           0x00020000u
#define ORV_BAD_DC_OFFSET_RE      0x00040000u
#define ORV_BAD_DC_OFFSET_IM      0x00080000u
#define ORV_BAD_NOISE_ENABLE      0x00100000u
#define ORV_BAD_NOISE_LEVEL       0x00200000u
#define ORV_BAD_SINE_ENABLE       0x00400000u
#define ORV_BAD_SINE_FREQ         0x00800000u
#define ORV_BAD_SINE_LEVEL        0x01000000u
#define ORV_BAD_OUTPUT_MODE       0x02000000u

/*
 * Generates one 802.11a burst and writes it to path.
 * params: read for its in fields; papr, crest_i and crest_q are written
 *         (measured values in output mode 0, 0.0 in output mode 1).
 * output_mode: 0 AWG waveform file, 1 CSV sample file.
 * path: NUL-terminated file name in the system's narrow encoding. A regular
 *       file (or, through a symbolic link, the file it names) is replaced
 *       whole: the new file is written beside it and renamed over it once
 *       complete, so the path always holds the previous file or the complete
 *       new one; a new file gets the mode creating it would give, a replaced
 *       one keeps its mode. Other paths (devices, FIFOs) are written directly.
 * Returns 0, a validation mask with bit 31 set (nothing written; 0x80000000
 * alone for a null record), 1 when memory ran out anywhere in the call
 * (nothing written, out fields unchanged), 2 when LENGTH exceeded 12 bits
 * (file written), or 4 when the file could not be written completely (also
 * for a null path; the previous file stays, nothing partial is left).
 */
ORV_API int32_t ORV_CALL orv_11a_actual(WaveParams* params, int32_t output_mode, const char* path);

/*
 * Packet sequences of standard 802.11a frames (17.3): each packet is a PPDU
 * (training fields, SIGNAL, DATA coded at its rate) of the caller's PSDU,
 * followed by its idle time of zero samples. The samples are made and
 * written in blocks, so memory does not grow with the packet count.
 */

/* One packet. size first, so fields can be added later. */
typedef struct OrvPacket {
    uint32_t size;            /* sizeof(OrvPacket) */
    int32_t rate_index;       /* 0..7: 6, 9, 12, 18, 24, 36, 48, 54 Mbit/s */
    int32_t scrambler_init;   /* 1..127, x1 the most significant bit (93 = 1011101) */
    int32_t psdu_length;      /* 1..4095 octets (the SIGNAL field's LENGTH) */
    const uint8_t* psdu;      /* psdu_length octets, FCS included if wanted; read during the call */
    double idle_time;         /* s of zero samples after the packet, 0..1 */
} OrvPacket;

/* Settings shared by every packet of a sequence. size first, so fields can be
 * added later. The samples are those of a 20 MHz channel; channel_mhz 10 or 5
 * plays the same samples at half or a quarter of the rate, so the file's
 * sampling frequency, the filter cut-off and the Hz-valued impairments are
 * taken at that rate (and window_tr, a part of the symbol shape, stretches
 * with it). The impairments act on every sample of the sequence, idle time
 * included, in the order of orv_11a_actual: transmit filter (a linear
 * convolution over the whole sequence), frequency error, DC offset, noise,
 * sine interferer, IF conversion. */
typedef struct OrvSequenceParams {
    uint32_t size;              /* sizeof(OrvSequenceParams) */
    int32_t oversampling;       /* 1..10, sampling rate = channel_mhz MHz times this */
    int32_t channel_mhz;        /* 20, 10 or 5 */
    int32_t iq_inverse;         /* 1: synthesised I and Q exchanged */
    int32_t filter_taps;        /* 4..1000 when the filter runs */
    int32_t freq_error_enable;  /* 0, 1 */
    int32_t if_enable;          /* 0, 1 */
    int32_t noise_enable;       /* 0, 1 */
    int32_t sine_enable;        /* 0, 1 */
    int32_t bad_packet;         /* out: index of the first bad packet, or -1 */
    double window_tr;           /* s, 0..0.8e-6 at 20 MHz; 100e-9 is usual, below 2 samples none */
    double filter_cutoff;       /* Hz, transmit filter runs only when > 1e-12 */
    double filter_rolloff;      /* 0.01..0.99 when the filter runs */
    double freq_error;          /* Hz, |f| <= half the sampling rate */
    double if_freq;             /* Hz, |f| <= half the sampling rate */
    double dc_offset_re;        /* -100..100 percent of the sequence's peak envelope */
    double dc_offset_im;        /* -100..100 percent of the sequence's peak envelope */
    double noise_level;         /* dB absolute, -100..10 */
    double sine_freq;           /* Hz, |f| <= half the sampling rate */
    double sine_level;          /* dB absolute, -100..10 */
    double papr;                /* out, dB over the whole sequence (AWG file only, else 0.0) */
    double crest_i;             /* out, dB (AWG file only, else 0.0) */
    double crest_q;             /* out, dB (AWG file only, else 0.0) */
    int64_t total_samples;      /* out: samples of the whole sequence */
} OrvSequenceParams;

/* Result of the sequence entries besides ORV_OK, ORV_NO_MEMORY (nothing
 * written) and ORV_WRITE_FAILED: the callback asked to stop. */
#define ORV_STOPPED 8

/* Validation mask bits of the sequence entries (with ORV_INVALID). Bits from
 * 0x00010000 name a field of the packet whose index is in bad_packet (the
 * first bad one; the others are not checked). A wrong size sets only its bit,
 * and then no out field is written. */
#define ORV_SEQ_BAD_SIZE            0x00000001u
#define ORV_SEQ_BAD_PACKETS         0x00000002u /* null array or count < 1 */
#define ORV_SEQ_BAD_OVERSAMPLING    0x00000004u
#define ORV_SEQ_BAD_CHANNEL         0x00000008u
#define ORV_SEQ_BAD_WINDOW_TR       0x00000010u
#define ORV_SEQ_BAD_FILTER_CUTOFF   0x00000020u
#define ORV_SEQ_BAD_FILTER_ROLLOFF  0x00000040u
#define ORV_SEQ_BAD_FILTER_TAPS     0x00000080u
#define ORV_SEQ_BAD_IQ_INVERSE      0x00000100u
#define ORV_SEQ_BAD_FREQ_ERROR      0x00000200u /* switch or value */
#define ORV_SEQ_BAD_IF              0x00000400u /* switch or value */
#define ORV_SEQ_BAD_DC_OFFSET       0x00000800u
#define ORV_SEQ_BAD_NOISE           0x00001000u /* switch or level */
#define ORV_SEQ_BAD_SINE            0x00002000u /* switch, frequency or level */
#define ORV_SEQ_BAD_OUTPUT          0x00004000u /* output mode, or a null callback */
#define ORV_SEQ_BAD_PACKET_SIZE     0x00010000u
#define ORV_SEQ_BAD_RATE            0x00020000u
#define ORV_SEQ_BAD_SCRAMBLER       0x00040000u
#define ORV_SEQ_BAD_PSDU_LENGTH     0x00080000u
#define ORV_SEQ_BAD_PSDU            0x00100000u /* null PSDU pointer */
#define ORV_SEQ_BAD_IDLE_TIME       0x00200000u

/*
 * Generates packet_count packets and writes them to path as orv_11a_actual
 * does (output mode 0 AWG file with the real sampling frequency, 1 CSV file;
 * the same replacement of the file at path).
 * packet_starts: null, or packet_count entries that receive the sample index
 *   of each packet's first short-training sample (the window's ramp, when
 *   there is one, lies just before it).
 * Returns 0, a validation mask with bit 31 set (nothing written; 0x80000000
 * alone for a null params), ORV_NO_MEMORY (nothing written) or
 * ORV_WRITE_FAILED (also for a null path; the previous file stays). The out
 * fields (bad_packet, total_samples, papr, crest_i, crest_q) are written for
 * every result but a null params or a wrong size.
 */
ORV_API int32_t ORV_CALL orv_11a_sequence(OrvSequenceParams* params, const OrvPacket* packets,
                                         int32_t packet_count, int32_t output_mode,
                                         const char* path, int64_t* packet_starts);

/* Takes samples first..first+count-1 of I and Q (valid during the call
 * only), in order; returns 0 to go on, anything else to stop. */
typedef int32_t (ORV_CALL* OrvSampleBlockFn)(void* context, int64_t first, int32_t count,
                                             const double* i, const double* q);

/*
 * As orv_11a_sequence, but the samples go to take block by block instead of
 * into a file (papr, crest_i and crest_q are 0.0). Returns 0, a validation
 * mask (nothing handed over), ORV_NO_MEMORY (possibly after some blocks) or
 * ORV_STOPPED when take asked to stop.
 */
ORV_API int32_t ORV_CALL orv_11a_sequence_blocks(OrvSequenceParams* params,
                                                const OrvPacket* packets, int32_t packet_count,
                                                OrvSampleBlockFn take, void* context,
                                                int64_t* packet_starts);

/*
 * Impairments in physical units for packet sequences (the _impaired entries).
 * The chain, after the transmit filter, in this order: power amplifier (Rapp
 * AM/AM, then clipping) -> IQ imbalance, then the DC offset -> phase noise
 * and carrier offset (freq_error and cfo_ppm together) -> sample clock ->
 * multipath channel -> noise at snr_db, then the absolute noise_level ->
 * sine interferer -> IF conversion. Every random stage (noise, phase noise,
 * multipath) draws from its own stream of seed, so one stage switched on or
 * off leaves the others' draws as they were; the same record gives the same
 * samples. size first, so fields can be added later. A zeroed record of the
 * right size (and snr_enable 0) is no impairment at all: the samples of
 * orv_11a_sequence.
 */
typedef struct OrvImpairments {
    uint32_t size;              /* sizeof(OrvImpairments) */
    int32_t snr_enable;         /* 0, 1 */
    double snr_db;              /* -20..100: the packets' mean power (their PPDU samples,
                                   idle time excluded, at the channel's input) over the
                                   noise in channel_mhz; the noise covers every sample,
                                   its variance per complex sample (P / SNR) x oversampling */
    uint64_t seed;              /* the random stages' seed */
    double iq_gain_db;          /* -10..10: I = 10^(g/40) (I c - Q s), Q = 10^(-g/40) (Q c - I s) */
    double iq_phase_deg;        /* -45..45: c = cos(phi/2), s = sin(phi/2); axes 90 + phi apart */
    int32_t pa_enable;          /* 0, 1: Rapp AM/AM |y| = |x| / (1 + (|x|/A)^(2p))^(1/(2p)) */
    int32_t clip_enable;        /* 0, 1: |x| clipped at clip_papr_db over the packets' RMS */
    double pa_smoothness;       /* p, 0.1..100 */
    double pa_backoff_db;       /* -20..40: A over the packets' RMS at the amplifier's input */
    double clip_papr_db;        /* 0..30 */
    double cfo_ppm;             /* -1000..1000: carrier this fast, the signal up by
                                   cfo_ppm 1e-6 carrier_ghz 1e9 Hz (with freq_error,
                                   within half the sampling rate) */
    double carrier_ghz;         /* 0.001..1000, read when cfo_ppm is not 0 */
    double clock_ppm;           /* -1000..1000: sample clock this fast; output sample n
                                   is the waveform at n (1 + clock_ppm 1e-6), so the
                                   packets come progressively earlier; the sequence
                                   gets floor((T - 1) / (1 + clock_ppm 1e-6)) + 1 samples */
    int32_t phase_noise_count;  /* 0 or 2..64 profile points */
    int32_t multipath_per_packet; /* 0 one realisation for the sequence, 1 one per packet */
    const double* phase_noise_offsets_hz; /* ascending, > 0 */
    const double* phase_noise_dbc_hz;     /* L(f), -250..0 dBc/Hz, straight on log f between
                                             points, nothing outside; variance 2 int L df */
    double phase_noise_rms_deg; /* 0..60 (0 none), when phase_noise_count is 0: flat
                                   1 kHz..100 kHz, -20 dB a decade to 1 MHz, scaled */
    double multipath_rms_ns;    /* 0 none, or 1..2000: exponential-decay Rayleigh taps,
                                   one per sample: ceil(10 rms / Ts) + 1 of them */
    int32_t tap_count;          /* 0 none, or 1..1024 explicit taps (not with multipath_rms_ns) */
    int32_t reserved;           /* must be 0 */
    const double* tap_delay_ns; /* 0..10000, rounded to the nearest sample */
    const double* tap_gain_db;  /* -200..40 */
    const double* tap_phase_deg; /* null: all 0 */
} OrvImpairments;

/* Validation mask bits of the impairments (with ORV_INVALID, beside the
 * sequence's bits). A wrong size sets only its bit. */
#define ORV_IMP_BAD_SIZE         0x00400000u
#define ORV_IMP_BAD_SNR          0x00800000u /* switch or value */
#define ORV_IMP_BAD_IQ           0x01000000u
#define ORV_IMP_BAD_PA           0x02000000u /* switches, p, back-off or clipping level */
#define ORV_IMP_BAD_PHASE_NOISE  0x04000000u /* count, a point, or the RMS */
#define ORV_IMP_BAD_CARRIER      0x08000000u /* cfo_ppm, carrier_ghz, or the sum with freq_error */
#define ORV_IMP_BAD_CLOCK        0x10000000u
#define ORV_IMP_BAD_MULTIPATH    0x20000000u /* rms, switch, taps, both kinds, reserved */

/*
 * orv_11a_sequence with the impairments (null: none). packet_starts gets each
 * packet's first short-training sample on the impaired clock (the nearest
 * sample). The out fields and the results are those of orv_11a_sequence;
 * total_samples counts the impaired sequence.
 */
ORV_API int32_t ORV_CALL orv_11a_sequence_impaired(OrvSequenceParams* params,
                                                  const OrvImpairments* impairments,
                                                  const OrvPacket* packets, int32_t packet_count,
                                                  int32_t output_mode, const char* path,
                                                  int64_t* packet_starts);

/* orv_11a_sequence_blocks with the impairments (null: none). */
ORV_API int32_t ORV_CALL orv_11a_sequence_impaired_blocks(OrvSequenceParams* params,
                                                         const OrvImpairments* impairments,
                                                         const OrvPacket* packets,
                                                         int32_t packet_count,
                                                         OrvSampleBlockFn take, void* context,
                                                         int64_t* packet_starts);

#ifdef __cplusplus
}
#endif

#endif /* ORVASYNTH_H */
