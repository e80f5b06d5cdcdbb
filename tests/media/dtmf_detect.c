// SPDX-License-Identifier: Apache-2.0
/* Prints the DTMF digits that spandsp's detector finds in a WAV file (8000 Hz, 16-bit
   PCM, mono): an independent check of the in-band tones. */
#include <spandsp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: media_dtmf_detect FILE.wav\n");
    return 2;
  }
  FILE* file = fopen(argv[1], "rb");
  if (file == NULL) return 1;
  uint8_t header[44];
  if (fread(header, 1, sizeof(header), file) != sizeof(header) || memcmp(header, "RIFF", 4) != 0) {
    fclose(file);
    return 1;
  }
  dtmf_rx_state_t* detector = dtmf_rx_init(NULL, NULL, NULL);
  int16_t block[160];
  size_t count;
  while ((count = fread(block, 2, 160, file)) > 0) dtmf_rx(detector, block, (int)count);
  fclose(file);
  char digits[128];
  int found = dtmf_rx_get(detector, digits, sizeof(digits) - 1);
  digits[found] = '\0';
  printf("%s\n", digits);
  dtmf_rx_free(detector);
  return 0;
}
