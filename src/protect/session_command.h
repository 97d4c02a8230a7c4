#pragma once

#include "hex/hex_io.h"

// The session command: many requests through one process. Reads requests from standard input,
// one a line, until its end, and answers each in order with one line on standard output, written
// whole before the next request is read:
//
//   protect <hex>     ->  ok <hex>                (or an error answer)
//   unprotect <hex>   ->  ok <hex>
//                         error <status> <message>, as the one-shot command would have ended
//
// Each request is sealed or opened as the protect and unprotect commands do it, and every block
// of it is wiped before the next one is read. Returns EXIT_OK at the end of input once every
// answer went out whole, or as soon as the reader has closed its end (no further request is
// opened for nobody); EXIT_WRITE_FAILED as soon as an answer could not be written; EXIT_BAD_INPUT
// when standard input cannot be read, or no memory is left to start. See docs/session.md.
int run_session(const TextLimits &limits = kTextLimits);
