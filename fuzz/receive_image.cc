// Fuzzes ReceiveImageHeader, ReceiveImageData and ReceiveImage: the pattern
// scan, the 108-byte intro and its conversion, and the body into a caller
// buffer or one the receiver allocates.  Input layout: IntroHarness.h.
#include "IntroHarness.h"

namespace {

struct ImageOps {
    using Intro = kbr7_image_ext_intro;
    static int header(Tarvex& t, Intro* i) { return t.ReceiveImageHeader(i); }
    static int data(Tarvex& t, Intro* i, char** b, int sz) { return t.ReceiveImageData(i, b, sz); }
    static int whole(Tarvex& t, Intro* i, char** b, int sz) { return t.ReceiveImage(i, b, sz); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_intro_receiver<ImageOps>(data, size);
}
