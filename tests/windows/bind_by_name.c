/* A caller that binds orv_11a_actual by name at run time, as the Windows
 * front-ends do: LoadLibraryA("Orvasynth.dll"), GetProcAddress by the
 * undecorated name, a __stdcall call on 32-bit x86. It also passes a file
 * name with a character of the ANSI code page beyond ASCII.
 * Usage: orv_bind_by_name OUTDIR-RELATIVE-PREFIX
 * Prints one line per check; exits 0 when all hold. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "orvasynth.h"

typedef int32_t(ORV_CALL* orv_fn)(WaveParams*, int32_t, const char*);

static int failures = 0;

static void check(int ok, const char* what) {
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

static void default_record(WaveParams* p) {
    memset(p, 0, sizeof *p);
    p->burst_off_time = 160 * 1e-6;
    p->filter_rolloff = 0.25;
    p->burst_enable = 1;
    p->rate_index = 5;
    p->ofdm_symbols = 10;
    p->pn_seed = 0xFFFF;
    p->oversampling = 4;
    p->filter_taps = 191;
}

/* Calls f and reports whether the stack pointer is where it was: a callee
 * that does not pop its 12 argument bytes (a cdecl export behind a
 * __stdcall declaration) leaves it off by 12. */
static int32_t call_checked(orv_fn f, WaveParams* p, int32_t mode, const char* path, int* balanced) {
#if defined(__i386__) && defined(__GNUC__)
    uintptr_t before, after;
    __asm__ volatile("movl %%esp, %0" : "=r"(before));
    int32_t rc = f(p, mode, path);
    __asm__ volatile("movl %%esp, %0" : "=r"(after));
    *balanced = before == after;
    return rc;
#else
    *balanced = 1;
    return f(p, mode, path);
#endif
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PREFIX\n", argv[0]);
        return 2;
    }
    HMODULE dll = LoadLibraryA("Orvasynth.dll");
    check(dll != NULL, "LoadLibraryA(\"Orvasynth.dll\")");
    if (dll == NULL) return 1;

    orv_fn f = (orv_fn)(void (*)(void))GetProcAddress(dll, "orv_11a_actual");
    check(f != NULL, "GetProcAddress(\"orv_11a_actual\")");
    check(GetProcAddress(dll, "orv_11a_actual@12") == NULL, "no decorated export orv_11a_actual@12");
    check(GetProcAddress(dll, "_orv_11a_actual@12") == NULL, "no decorated export _orv_11a_actual@12");
    if (f == NULL) return 1;

    /* An invalid record: the validation mask comes back through the call. */
    WaveParams p;
    default_record(&p);
    p.rate_index = 8;
    int balanced = 0;
    int32_t rc = call_checked(f, &p, 0, "unused.awv", &balanced);
    check((uint32_t)rc == (ORV_INVALID | ORV_BAD_RATE_INDEX), "rate index 8 refused with its mask bit");
    check(balanced, "stack balanced after the call (callee pops its arguments)");

    /* A name with e-acute (0xE9 in code page 1252), converted to the ANSI
     * code page exactly as a narrow-string caller holds it. */
    char wide_name_ok = 0;
    WCHAR wide[MAX_PATH];
    char narrow[MAX_PATH];
    int n = MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, wide, MAX_PATH);
    const WCHAR suffix[] = L"_Pr\u00fcfung_\u00e9.awv";
    if (n > 0 && n - 1 + (int)(sizeof suffix / sizeof suffix[0]) <= MAX_PATH) {
        memcpy(wide + n - 1, suffix, sizeof suffix);
        BOOL used_default = FALSE;
        wide_name_ok = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, narrow, MAX_PATH, NULL,
                                           &used_default) > 0 &&
                       !used_default;
    }
    check(wide_name_ok, "file name held by the ANSI code page");
    if (!wide_name_ok) return 1;
    printf("code page %u\n", GetACP());

    default_record(&p);
    DeleteFileW(wide);
    rc = call_checked(f, &p, 0, narrow, &balanced);
    check(rc == 0, "AWG file written under the narrow name");
    check(balanced, "stack balanced after a generation");
    check(p.papr > 0.0 && p.crest_i > 0.0 && p.crest_q > 0.0, "measured values stored in the record");
    WIN32_FILE_ATTRIBUTE_DATA info;
    int found = GetFileAttributesExW(wide, GetFileExInfoStandard, &info) != 0;
    check(found, "file found under its Unicode name");
    /* 10 symbols at oversampling 4: 4800 burst samples of 8 bytes, then the gap. */
    check(found && info.nFileSizeLow > 8u * 4800u, "file holds the sample block");

    /* Output mode 1 through the same binding. */
    WCHAR wide_csv[MAX_PATH];
    char narrow_csv[MAX_PATH];
    memcpy(wide_csv, wide, sizeof wide);
    size_t len = wcslen(wide_csv);
    wcscpy(wide_csv + len - 4, L".csv");
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide_csv, -1, narrow_csv, MAX_PATH, NULL, NULL);
    rc = call_checked(f, &p, 1, narrow_csv, &balanced);
    check(rc == 0 && p.papr == 0.0, "CSV file written, measured values 0.0");
    check(balanced, "stack balanced after a CSV generation");

    FreeLibrary(dll);
    printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
