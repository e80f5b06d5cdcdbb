// SPDX-License-Identifier: Apache-2.0
/* A test-only ALSA PCM plugin: a device with one fixed rate and channel count that runs
 * in real time off a timerfd, so the ALSA code paths (open, format refusal, block timing,
 * close) can run on a machine without a sound card. Capture delivers a ramp (sample n of the
 * stream holds n mod 32768 on every channel); playback discards. With `server_delay N` the
 * playback delay behaves as a sound server's does: it adds a latency cycling between 1 and N
 * frames that never reaches 0, and the PCM keeps running after the buffer has drained.
 *
 *   pcm_type.quillet_paced { lib "/path/libasound_module_pcm_quillet_paced.so" }
 *   pcm.name { type quillet_paced rate 22050 channels 1 }
 */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

typedef struct {
  snd_pcm_ioplug_t io;
  int timer_fd;
  unsigned int rate;
  unsigned int channels;
  int64_t start_ns;
  uint64_t ramp; /* capture frames handed out */
  int running;
  long server_delay; /* 0: the delay is what the buffer holds */
} paced_t;

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int paced_start(snd_pcm_ioplug_t* io) {
  paced_t* p = io->private_data;
  int64_t period_ns = (int64_t)io->period_size * 1000000000 / io->rate;
  struct itimerspec its = {{period_ns / 1000000000, period_ns % 1000000000},
                           {period_ns / 1000000000, period_ns % 1000000000}};
  p->start_ns = now_ns();
  p->running = 1;
  timerfd_settime(p->timer_fd, 0, &its, NULL);
  return 0;
}

static int paced_stop(snd_pcm_ioplug_t* io) {
  paced_t* p = io->private_data;
  struct itimerspec its = {{0, 0}, {0, 0}};
  timerfd_settime(p->timer_fd, 0, &its, NULL);
  p->running = 0;
  return 0;
}

static snd_pcm_sframes_t paced_pointer(snd_pcm_ioplug_t* io) {
  paced_t* p = io->private_data;
  if (!p->running) return 0;
  uint64_t frames = (uint64_t)(now_ns() - p->start_ns) * io->rate / 1000000000;
  /* Capture never runs further ahead than the buffer holds (no overrun in tests);
   * playback never consumes more than was written. */
  if (io->stream == SND_PCM_STREAM_CAPTURE) {
    uint64_t limit = io->appl_ptr + io->buffer_size;
    if (frames > limit) frames = limit;
  } else if (frames > io->appl_ptr) {
    frames = io->appl_ptr;
  }
  return (snd_pcm_sframes_t)(frames % io->buffer_size);
}

/* Frames consumed of the stream since start (playback never consumes more than written). */
static uint64_t paced_consumed(snd_pcm_ioplug_t* io) {
  paced_t* p = io->private_data;
  if (!p->running) return io->appl_ptr;
  uint64_t frames = (uint64_t)(now_ns() - p->start_ns) * io->rate / 1000000000;
  return frames > io->appl_ptr ? io->appl_ptr : frames;
}

static int paced_delay(snd_pcm_ioplug_t* io, snd_pcm_sframes_t* delayp) {
  paced_t* p = io->private_data;
  if (io->stream == SND_PCM_STREAM_CAPTURE) {
    *delayp = (snd_pcm_sframes_t)snd_pcm_ioplug_hw_avail(io, io->hw_ptr, io->appl_ptr);
    return 0;
  }
  snd_pcm_sframes_t held = (snd_pcm_sframes_t)(io->appl_ptr - paced_consumed(io));
  if (p->server_delay > 0) held += 1 + (snd_pcm_sframes_t)((now_ns() / 1000000) % p->server_delay);
  *delayp = held;
  return 0;
}

static snd_pcm_sframes_t paced_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                        snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  paced_t* p = io->private_data;
  if (io->stream == SND_PCM_STREAM_CAPTURE) {
    int16_t* dst = (int16_t*)((char*)areas[0].addr + (areas[0].first / 8)) + offset * io->channels;
    for (snd_pcm_uframes_t f = 0; f < size; ++f, ++p->ramp)
      for (unsigned int c = 0; c < io->channels; ++c)
        dst[f * io->channels + c] = (int16_t)(p->ramp % 32768);
  }
  return (snd_pcm_sframes_t)size;
}

static int paced_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                              unsigned short* revents) {
  paced_t* p = io->private_data;
  uint64_t expirations;
  (void)pfd;
  (void)nfds;
  if (read(p->timer_fd, &expirations, sizeof expirations) < 0) { /* not expired yet */
  }
  *revents = io->stream == SND_PCM_STREAM_CAPTURE ? POLLIN : POLLOUT;
  return 0;
}

static int paced_close(snd_pcm_ioplug_t* io) {
  paced_t* p = io->private_data;
  close(p->timer_fd);
  free(p);
  return 0;
}

static const snd_pcm_ioplug_callback_t paced_callbacks = {
    .start = paced_start,
    .stop = paced_stop,
    .pointer = paced_pointer,
    .transfer = paced_transfer,
    .close = paced_close,
    .poll_revents = paced_poll_revents,
    .delay = paced_delay,
};

SND_PCM_PLUGIN_DEFINE_FUNC(quillet_paced) {
  snd_config_iterator_t i, next;
  long rate = 8000, channels = 1, server_delay = 0;
  (void)root;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id;
    if (snd_config_get_id(n, &id) < 0) continue;
    if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0) continue;
    if (strcmp(id, "rate") == 0) {
      snd_config_get_integer(n, &rate);
      continue;
    }
    if (strcmp(id, "channels") == 0) {
      snd_config_get_integer(n, &channels);
      continue;
    }
    if (strcmp(id, "server_delay") == 0) {
      snd_config_get_integer(n, &server_delay);
      continue;
    }
    SNDERR("Unknown field %s", id);
    return -EINVAL;
  }
  paced_t* p = calloc(1, sizeof *p);
  if (p == NULL) return -ENOMEM;
  p->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  p->rate = (unsigned int)rate;
  p->channels = (unsigned int)channels;
  p->server_delay = server_delay;
  p->io.version = SND_PCM_IOPLUG_VERSION;
  p->io.name = "Quillet paced test PCM";
  p->io.callback = &paced_callbacks;
  p->io.private_data = p;
  p->io.poll_fd = p->timer_fd;
  p->io.poll_events = POLLIN;
  p->io.mmap_rw = 0;
  int err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
  if (err < 0) {
    close(p->timer_fd);
    free(p);
    return err;
  }
  static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
  static const unsigned int formats[] = {SND_PCM_FORMAT_S16_LE};
  snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
  snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats);
  snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_CHANNELS, p->channels, p->channels);
  snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_RATE, p->rate, p->rate);
  snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1 << 20);
  snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
  *pcmp = p->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(quillet_paced);
