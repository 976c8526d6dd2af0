// tarnplay: plays Tarn movies in a window.
#include "platform/player_host.h"
#include "platform/sdl/sdl_audio_device.h"
#include "player/player.h"

int main(int argc, char** argv) {
  tarn::SdlAudioInstall();
  auto host = tarn::SdlPlayerHostCreate();
  return tarn::PlayerMain(argc, argv, *host);
}
