#include "player/end_card.h"

extern const unsigned char tarn_end_card[];
extern const unsigned long tarn_end_card_size;

namespace tarn {

const void* EndCardMovie() { return tarn_end_card; }
size_t EndCardMovieSize() { return tarn_end_card_size; }

}  // namespace tarn
