/* The I/O floor of one conversion: read INPUT to its end and write OUTPUT_SIZE bytes into a new
 * file OUTPUT, both in 1 MiB pieces, with no coding at all. A converter that reads and writes
 * through buffers of its own cannot beat this; bench/run.sh times it for every direction.
 *
 *   floor INPUT OUTPUT OUTPUT_SIZE
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { PIECE = 1 << 20 };

static char Buffer[PIECE];

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: floor INPUT OUTPUT OUTPUT_SIZE\n");
    return 2;
  }
  long long Left = atoll(argv[3]);
  int In = open(argv[1], O_RDONLY);
  int Out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (In < 0 || Out < 0) {
    perror("floor: open");
    return 1;
  }
  int InputDone = 0;
  while (!InputDone || Left > 0) {
    if (!InputDone) {
      ssize_t Got = read(In, Buffer, PIECE);
      if (Got < 0) {
        perror("floor: read");
        return 1;
      }
      InputDone = Got == 0;
    }
    if (Left > 0) {
      size_t Want = Left < PIECE ? (size_t)Left : PIECE;
      ssize_t Put = write(Out, Buffer, Want);
      if (Put <= 0) {
        perror("floor: write");
        return 1;
      }
      Left -= Put;
    }
  }
  if (close(Out) != 0) {
    perror("floor: close");
    return 1;
  }
  close(In);
  return 0;
}
