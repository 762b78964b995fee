#!/bin/sh
# Hashes the frame-sequence files orvgen writes for a table of settings
# (rates, oversampling 1/2/8, Nyquist filter, transition window, channels
# 20/10/5, AWG and CSV, the older impairments; then the impairment chain:
# SNR, IQ imbalance, phase noise, carrier and clock offsets, multipath,
# amplifier, clipping, alone and together, AWG, CSV and SigMF), one
# "name sha256" line each.
# A speed change in the sequence pipeline must leave every line as it was:
#   scripts/sequence_hashes.sh build/orvgen > before.txt
#   (change, rebuild)
#   scripts/sequence_hashes.sh build/orvgen | diff before.txt -
# The AWG header's DATE item is left out of the hash.
# Files go to $ORV_HASH_DIR (default /dev/shm, else /tmp) and are removed.
set -eu
orvgen=${1:?usage: sequence_hashes.sh path/to/orvgen}
dir=${ORV_HASH_DIR:-/dev/shm}
[ -d "$dir" ] || dir=/tmp
work=$(mktemp -d "$dir/orv_seq_hash.XXXXXX")
trap 'rm -rf "$work"' EXIT

cat > "$work/mixed.json" <<'EOF'
{"settings": {"channel": 10, "oversample": 2, "window-tr": 0.2},
 "packets": [
  {"rate": 6, "psdu-hex": "0102030405", "scrambler-init": 1, "idle": 3},
  {"rate": 36, "payload-bytes": 300, "data": "PN15", "scrambler-init": "step", "idle": 0, "repeat": 3},
  {"rate": 54, "payload-bytes": 1, "mac-frame": "none", "data": "ALL1", "idle": 7.3}
 ]}
EOF

printf '0 0\n50 -3 20\n120 -8 -45\n400 -15\n' > "$work/taps.txt"
base="--payload-bytes 300 --packets 6 --idle 8 --scrambler-init step"

# name | orvgen arguments (the output file is added)
while IFS='|' read -r name args ext; do
    [ -z "$name" ] && continue
    out="$work/$name.$ext"
    # shellcheck disable=SC2086
    if ! "$orvgen" -o "$out" $args > /dev/null 2>"$work/err"; then
        echo "$name FAILED: $(cat "$work/err")"
        continue
    fi
    # The AWG header's DATE item is the moment of writing: hashed as a fixed text.
    echo "$name $(perl -0777 -pe 's/\{DATE:[^}]*\}/{DATE:-}/' "$out" | sha256sum | cut -d' ' -f1)"
    rm -f "$out"
done <<EOF
r6_os1_awg|--rate 6 --payload-bytes 100 --packets 3 --idle 4 --oversample 1|awv
r9_os2_csv|--rate 9 --payload-bytes 57 --packets 2 --idle 1 --oversample 2|csv
r12_os8_awg|--rate 12 --payload-bytes 200 --packets 4 --idle 2.5 --oversample 8|awv
r18_os8_csv|--rate 18 --payload-bytes 33 --packets 2 --oversample 8|csv
r24_os1_csv|--rate 24 --payload-bytes 500 --packets 5 --idle 10 --oversample 1 --scrambler-init step|csv
r36_os2_awg|--rate 36 --payload-bytes 1000 --packets 3 --idle 20 --oversample 2|awv
r48_os8_awg_bare|--rate 48 --payload-bytes 4095 --mac-frame none --packets 2 --idle 0 --oversample 8|awv
r54_os8_awg|--rate 54 --payload-bytes 1000 --packets 20 --idle 20 --oversample 8 --scrambler-init step|awv
r54_os8_csv|--rate 54 --payload-bytes 1000 --packets 3 --idle 20 --oversample 8|csv
r54_os1_awg_nowin|--rate 54 --payload-bytes 200 --packets 3 --idle 5 --oversample 1 --window-tr 0|awv
r54_os8_awg_win03|--rate 54 --payload-bytes 200 --packets 3 --idle 5 --oversample 8 --window-tr 0.3|awv
r18_os1_csv_win_odd|--rate 18 --payload-bytes 150 --packets 3 --idle 2 --oversample 1 --window-tr 0.15|csv
r48_os3_awg_win_odd|--rate 48 --payload-bytes 150 --packets 3 --idle 2 --oversample 3 --window-tr 0.05|awv
r9_os5_csv_win_max|--rate 9 --payload-bytes 60 --packets 2 --oversample 5 --window-tr 0.8|csv
r36_ch10_os2_awg|--rate 36 --payload-bytes 300 --packets 3 --idle 8 --oversample 2 --channel 10|awv
r36_ch5_os8_csv|--rate 36 --payload-bytes 300 --packets 2 --idle 8 --oversample 8 --channel 5|csv
nyq_os8_awg|--rate 54 --payload-bytes 500 --packets 4 --idle 10 --oversample 8 --filter nyquist --cut-off 10|awv
nyq_os2_csv|--rate 12 --payload-bytes 100 --packets 3 --idle 3 --oversample 2 --filter nyquist --cut-off 9 --taps 63 --roll-off 0.4|csv
nyq_ch5_os8_awg|--rate 24 --payload-bytes 100 --packets 3 --idle 3 --oversample 8 --channel 5 --filter nyquist --cut-off 2.5|awv
iq_inverse_awg|--rate 18 --payload-bytes 100 --packets 3 --idle 3 --oversample 8 --iq-inverse on|awv
freq_error_awg|--rate 54 --payload-bytes 400 --packets 4 --idle 10 --oversample 8 --freq-error 0.2|awv
freq_error_csv|--rate 6 --payload-bytes 100 --packets 2 --idle 3 --oversample 2 --freq-error 1.5|csv
if_awg|--rate 24 --payload-bytes 100 --packets 3 --idle 3 --oversample 8 --if 20|awv
gauss_awg|--rate 54 --payload-bytes 800 --packets 5 --idle 10 --oversample 8 --gauss -30|awv
gauss_csv|--rate 36 --payload-bytes 100 --packets 2 --idle 4 --oversample 1 --gauss -20|csv
sine_awg|--rate 12 --payload-bytes 100 --packets 3 --idle 3 --oversample 8 --sine 7 --sine-level -25|awv
dc_awg|--rate 54 --payload-bytes 600 --packets 4 --idle 10 --oversample 8 --dc-real 5 --dc-imag -3|awv
dc_csv|--rate 9 --payload-bytes 100 --packets 2 --idle 2 --oversample 4 --dc-real -2|csv
all_impair_awg|--rate 48 --payload-bytes 700 --packets 4 --idle 6 --oversample 8 --filter nyquist --cut-off 10 --dc-real 1 --freq-error 0.05 --gauss -35|awv
sigmf_cf32|--rate 54 --payload-bytes 300 --packets 3 --idle 5 --oversample 8 --gauss -30|sigmf-data
sigmf_ci16|--rate 24 --payload-bytes 300 --packets 3 --idle 5 --oversample 2 --sigmf-type ci16_le --dc-real 3|sigmf-data
per_1000_os8_awg|--rate 54 --payload-bytes 1000 --packets 1000 --idle 20 --oversample 8|awv
mixed_file_awg|--waveform $work/mixed.json|awv
mixed_file_csv|--waveform $work/mixed.json|csv
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
pa_iq_iqinv_awg|--rate 36 $base --oversample 2 --pa-rapp 2,5 --iq-gain 0.8 --iq-phase -4 --iq-inverse on --snr 22|awv
pa_frac_iq_iqinv_csv|--rate 18 $base --oversample 1 --pa-rapp 2.25,3 --iq-phase 5 --iq-inverse on --clock-ppm 30|csv
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
