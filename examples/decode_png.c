/* Decodes a Tarn movie to numbered PNG pictures through the C interface:
 *
 *     tarn_decode_png MOVIE OUT_DIR
 *
 * writes OUT_DIR/frame00001.png, ... (RGBA when the movie has an alpha
 * plane, else RGB), with the movie's display mode applied. */
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tarn/tarn.h>

static int fail(const char* what, const tarn_movie* movie) {
  fprintf(stderr, "tarn_decode_png: %s: %s\n", what, tarn_last_error(movie));
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: tarn_decode_png MOVIE OUT_DIR\n");
    return 2;
  }
  tarn_movie* movie = NULL;
  if (tarn_open_path(argv[1], 0, &movie) != TARN_OK) return fail(argv[1], NULL);

  tarn_info info;
  if (tarn_get_info(movie, &info) != TARN_OK) return fail("facts", movie);
  const tarn_format format = info.has_alpha ? TARN_FORMAT_RGBA : TARN_FORMAT_RGB24;
  uint32_t width = 0, height = 0;
  size_t bytes = 0;
  if (tarn_picture_size(movie, format, TARN_PICTURE_DISPLAY_MODE, &width, &height, &bytes) != TARN_OK) {
    return fail("picture size", movie);
  }
  unsigned char* pixels = malloc(bytes ? bytes : 1);
  if (!pixels) return fail("out of memory", NULL);
  printf("%s: %u x %u, %u frames at %u/%u per second, %u tracks\n", argv[1], width, height, info.frame_count,
         info.rate_numerator, info.rate_denominator, info.track_count);

  int status = 0;
  tarn_status s;
  while (status == 0 && (s = tarn_next_frame(movie)) == TARN_OK) {
    tarn_frame frame;
    if (tarn_get_frame(movie, &frame) != TARN_OK ||
        tarn_get_picture(movie, format, TARN_PICTURE_DISPLAY_MODE, pixels, bytes, 0) != TARN_OK) {
      status = fail("picture", movie);
      break;
    }
    char path[4096];
    snprintf(path, sizeof path, "%s/frame%05u.png", argv[2], frame.number);
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = info.has_alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path, 0, pixels, 0, NULL)) {
      fprintf(stderr, "tarn_decode_png: cannot write %s: %s\n", path, image.message);
      status = 1;
    }
  }
  if (status == 0 && s != TARN_END) status = fail("decoding", movie);
  free(pixels);
  tarn_close(movie);
  return status;
}
