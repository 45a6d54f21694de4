// SPDX-License-Identifier: Apache-2.0
// A library that loads but does not export the freeze entry point.
extern "C" __attribute__((visibility("default"))) int SomethingElse() { return 1; }
