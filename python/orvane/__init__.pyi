# Type stubs of the orvane package.
import os
from typing import Any, Literal, Mapping, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class Figures(TypedDict):
    papr: float
    crest_i: float
    crest_q: float
    sample_rate: float
    length_overflow: bool

class Packet(TypedDict):
    start: int
    rate: int
    length: int
    scrambler: int
    seq: int | None

def default_fields() -> dict[str, float | int]: ...
def burst(
    *,
    burst_off_time: float = ...,
    window_tr: float = ...,
    filter_cutoff: float = ...,
    filter_rolloff: float = ...,
    freq_error: float = ...,
    if_freq: float = ...,
    dc_offset_re: float = ...,
    dc_offset_im: float = ...,
    noise_level: float = ...,
    sine_freq: float = ...,
    sine_level: float = ...,
    frame_format: int = ...,
    burst_enable: int = ...,
    rate_index: int = ...,
    ofdm_symbols: int = ...,
    pn_seed: int = ...,
    data_pattern: int = ...,
    oversampling: int = ...,
    filter_taps: int = ...,
    iq_inverse: int = ...,
    freq_error_enable: int = ...,
    if_enable: int = ...,
    noise_enable: int = ...,
    sine_enable: int = ...,
) -> tuple[npt.NDArray[np.complex128], Figures]: ...
def frames(
    *,
    description: Mapping[str, Any] | _Path | None = ...,
    rate: int = ...,
    payload_bytes: int = ...,
    packets: int = ...,
    idle_us: float = ...,
    data: str = ...,
    seed: int | str = ...,
    mac_frame: bool | Literal["data", "none"] = ...,
    addr1: str = ...,
    addr2: str = ...,
    addr3: str = ...,
    duration_us: int = ...,
    psdu: bytes = ...,
    psdu_file: _Path = ...,
    pcap: _Path = ...,
    scrambler_init: int | Literal["step"] = ...,
    oversample: int = ...,
    window_tr_us: float = ...,
    channel_mhz: Literal[20, 10, 5] = ...,
) -> tuple[npt.NDArray[np.complex128], list[Packet]]: ...
def write(
    path: _Path,
    *,
    format: str | None = ...,
    description: Mapping[str, Any] | _Path | None = ...,
    **options: str | int | float | bool | os.PathLike[str],
) -> dict[str, Any]: ...
def check(
    samples_or_path: npt.ArrayLike | _Path,
    sample_rate: float | None = ...,
    *,
    oversample: int = ...,
    frame: Literal["802.11a", "free"] = ...,
    rate: int = ...,
    symbols: int = ...,
    data: str = ...,
    seed: int | str = ...,
    expect: int = ...,
    psdu: bool = ...,
) -> dict[str, Any]: ...
