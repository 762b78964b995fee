#!/bin/sh
# Hashes the impaired frame-sequence files orvgen writes for a table of
# impairment settings (SNR, IQ imbalance, phase noise, carrier and clock
# offsets, multipath, amplifier, clipping; with the older DC offset, sine,
# IF and absolute noise; AWG, CSV and SigMF; oversampling 1 to 8), one
# "name sha256" line each. A speed change in the impairment chain or in how
# its samples are kept and written must leave every line as it was:
#   scripts/impaired_hashes.sh build/orvgen > before.txt
#   (change, rebuild)
#   scripts/impaired_hashes.sh build/orvgen | diff before.txt -
# The AWG header's DATE item is left out of the hash.
# Files go to $ORV_HASH_DIR (default /dev/shm, else /tmp) and are removed.
set -eu
orvgen=${1:?usage: impaired_hashes.sh path/to/orvgen}
dir=${ORV_HASH_DIR:-/dev/shm}
[ -d "$dir" ] || dir=/tmp
work=$(mktemp -d "$dir/orv_imp_hash.XXXXXX")
trap 'rm -rf "$work"' EXIT

printf '0 0\n50 -3 20\n120 -8 -45\n400 -15\n' > "$work/taps.txt"

base="--payload-bytes 300 --packets 6 --idle 8 --scrambler-init step"
# name | orvgen arguments (the output file is added) | extension
while IFS='|' read -r name args ext; do
    [ -z "$name" ] && continue
    out="$work/$name.$ext"
    # shellcheck disable=SC2086
    if ! "$orvgen" -o "$out" $args > /dev/null 2>"$work/err"; then
        echo "$name FAILED: $(cat "$work/err")"
        continue
    fi
    echo "$name $(perl -0777 -pe 's/\{DATE:[^}]*\}/{DATE:-}/' "$out" | sha256sum | cut -d' ' -f1)"
    rm -f "$out"
done <<EOF
snr_os1_awg|--rate 54 $base --oversample 1 --snr 20|awv
snr_os8_awg|--rate 54 $base --oversample 8 --snr 12|awv
snr_os8_csv|--rate 24 $base --oversample 8 --snr 12|csv
snr_os2_sigmf|--rate 6 $base --oversample 2 --snr 5|sigmf-data
snr_seed_awg|--rate 36 $base --oversample 4 --snr 25 --impairment-seed 77|awv
snr_iqinv_awg|--rate 18 $base --oversample 2 --snr 15 --iq-inverse on|awv
iq_awg|--rate 54 $base --oversample 8 --iq-gain 0.7 --iq-phase -3|awv
iq_snr_csv|--rate 12 $base --oversample 2 --iq-gain -1 --iq-phase 5 --snr 22|csv
pn_rms_awg|--rate 54 $base --oversample 8 --phase-noise-rms 2 --snr 30|awv
pn_profile_awg|--rate 24 $base --oversample 4 --phase-noise -80@1e3,-90@1e5,-120@1e6|awv
ppm_awg|--rate 54 $base --oversample 8 --ppm 20 --carrier-ghz 5.2 --snr 25|awv
cfo_awg|--rate 48 $base --oversample 2 --cfo-ppm -15 --carrier-ghz 5.8|awv
clock_fast_awg|--rate 54 $base --oversample 8 --clock-ppm 1000 --snr 18|awv
clock_slow_csv|--rate 9 $base --oversample 1 --clock-ppm -700|csv
mp_file_awg|--rate 54 $base --oversample 8 --multipath-rms 50 --snr 25|awv
mp_packet_awg|--rate 24 $base --oversample 2 --multipath-rms 150 --multipath-per-packet --snr 20|awv
mp_taps_awg|--rate 36 $base --oversample 4 --multipath-taps $work/taps.txt|awv
pa_awg|--rate 54 $base --oversample 8 --pa-rapp 3,8 --snr 30|awv
pa_os1_csv|--rate 54 $base --oversample 1 --pa-rapp 1,2|csv
clip_awg|--rate 54 $base --oversample 8 --clip-papr 6 --snr 28|awv
pa_clip_awg|--rate 12 $base --oversample 2 --pa-rapp 2,4 --clip-papr 7|awv
all_os8_awg|--rate 54 $base --oversample 8 --snr 20 --iq-gain 0.5 --iq-phase 2 --pa-rapp 3,8 --phase-noise-rms 1 --cfo-ppm 10 --carrier-ghz 5.8 --clock-ppm 10 --multipath-rms 50 --multipath-per-packet|awv
all_os1_awg|--rate 54 $base --oversample 1 --snr 15 --iq-gain -0.5 --iq-phase -2 --pa-rapp 2,5 --clip-papr 9 --phase-noise-rms 3 --ppm -30 --carrier-ghz 2.4 --multipath-rms 80|awv
all_os2_sigmf|--rate 24 $base --oversample 2 --snr 10 --iq-gain 1 --pa-rapp 3,6 --clock-ppm 50 --multipath-rms 40|sigmf-data
all_os2_ci16|--rate 24 $base --oversample 2 --snr 10 --iq-gain 1 --pa-rapp 3,6 --clock-ppm 50 --sigmf-type ci16_le|sigmf-data
dc_snr_awg|--rate 54 $base --oversample 8 --snr 20 --dc-real 3 --dc-imag -2|awv
sine_if_snr_awg|--rate 36 $base --oversample 8 --snr 25 --sine 5 --sine-level -30 --if 10|awv
gauss_snr_awg|--rate 54 $base --oversample 8 --snr 20 --gauss -40|awv
gauss_snr_csv|--rate 6 $base --oversample 2 --snr 8 --gauss -35|csv
filter_snr_awg|--rate 54 $base --oversample 8 --filter nyquist --cut-off 10 --snr 20 --pa-rapp 3,6|awv
freq_err_snr_awg|--rate 24 $base --oversample 4 --freq-error 0.1 --snr 20|awv
ch10_all_awg|--rate 54 $base --oversample 4 --channel 10 --snr 18 --iq-phase 3 --clock-ppm -40 --multipath-rms 100|awv
ch5_snr_csv|--rate 12 $base --oversample 8 --channel 5 --snr 14|csv
long_idle_awg|--rate 54 --payload-bytes 1000 --packets 40 --idle 200 --oversample 8 --snr 20 --pa-rapp 3,8 --clock-ppm 10 --multipath-rms 50|awv
per_1000_os8_awg|--rate 54 --payload-bytes 1000 --packets 1000 --idle 20 --oversample 8 --snr 20 --iq-gain 0.5 --iq-phase 2 --pa-rapp 3,8 --phase-noise-rms 1 --cfo-ppm 10 --carrier-ghz 5.8 --clock-ppm 10 --multipath-rms 50 --multipath-per-packet|awv
per_1000_os1_snr_awg|--rate 54 --payload-bytes 1000 --packets 1000 --idle 20 --oversample 1 --snr 20|awv
burst_snr_awg|--snr 20 --oversample 8|awv
burst_all_csv|--snr 15 --iq-gain 0.5 --pa-rapp 3,6 --clock-ppm 20 --oversample 4|csv
EOF
