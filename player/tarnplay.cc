// tarnplay: plays Tarn movies in a window.
#include "platform/player_host.h"
#include "player/player.h"

int main(int argc, char** argv) {
  auto host = tarn::SdlPlayerHostCreate();
  return tarn::PlayerMain(argc, argv, *host);
}
