// Fuzzes ReceiveSpectHeader, ReceiveSpectData and ReceiveSpect: the pattern
// scan, the 56-byte intro and its conversion, and the body into a caller
// buffer or one the receiver allocates.  Input layout: IntroHarness.h.
#include "IntroHarness.h"

namespace {

struct SpectOps {
    using Intro = kbr7_spect_intro;
    static int header(Tarvex& t, Intro* i) { return t.ReceiveSpectHeader(i); }
    static int data(Tarvex& t, Intro* i, char** b, int sz) { return t.ReceiveSpectData(i, b, sz); }
    static int whole(Tarvex& t, Intro* i, char** b, int sz) { return t.ReceiveSpect(i, b, sz); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_intro_receiver<SpectOps>(data, size);
}
