#include "rate.h"

namespace {

struct RateRow {
    int32_t mod_code;     // 0 BPSK, 1 QPSK, 2 16-QAM, 3 64-QAM
    int32_t coding_rate;  // 0 for 1/2, 1 for 3/4, 2 for 2/3
    int32_t n_bpsc;
    int32_t n_cbps;
    int32_t n_dbps;
};

// IEEE 802.11a 17.3.2.2, Table 78: 6, 9, 12, 18, 24, 36, 48, 54 Mbit/s.
constexpr RateRow kRates[8] = {
    {0, 0, 1, 48, 24},  {0, 1, 1, 48, 36},  {1, 0, 2, 96, 48},   {1, 1, 2, 96, 72},
    {2, 0, 4, 192, 96}, {2, 1, 4, 192, 144}, {3, 2, 6, 288, 192}, {3, 1, 6, 288, 216},
};

}  // namespace

int32_t rate_parameters(int32_t rate_index, int32_t ofdm_symbols, int32_t* mod_code,
                        int32_t* coding_rate, int32_t* n_bpsc, int32_t* n_cbps, int32_t* n_dbps,
                        int32_t* length) {
    const RateRow& r = kRates[(rate_index >= 0 && rate_index <= 7) ? rate_index : 0];
    *mod_code = r.mod_code;
    *coding_rate = r.coding_rate;
    *n_bpsc = r.n_bpsc;
    *n_cbps = r.n_cbps;
    *n_dbps = r.n_dbps;
    // LENGTH: the largest octet count whose 16 SERVICE + 8*LENGTH + 6 tail bits
    // fit into ofdm_symbols symbols; C division truncates toward zero (0 symbols: -2).
    // 64-bit product: a caller outside the validated range cannot overflow it.
    int64_t len = (static_cast<int64_t>(ofdm_symbols) * r.n_dbps - 22) / 8;
    if (len > INT32_MAX) len = INT32_MAX;
    if (len < INT32_MIN) len = INT32_MIN;
    *length = static_cast<int32_t>(len);
    return len > 4095 ? 2 : 0;
}
