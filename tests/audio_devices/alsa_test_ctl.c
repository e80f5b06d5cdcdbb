// SPDX-License-Identifier: Apache-2.0
/* A test-only ALSA control plugin: a card mixer without a card, so the mixer code can run
 * against real controls. Values live in the loaded plugin and survive re-opening within a
 * process, so a test can read back what the program set.
 *
 *   ctl_type.quillet_mixer { lib "/path/libasound_module_ctl_quillet_mixer.so" }
 *   ctl.name { type quillet_mixer [selector 1] [state "/path/file"] }
 *
 * With `state`, the file holds one line per control ("name=v0 v1"): read at every open when
 * it exists (a test sets the card's state before a run), else written, and rewritten on every
 * change, so that a test can read what another process set.
 *
 * Controls: Master Playback Volume (0..87) and Switch, PCM Playback Volume (0..255), the
 * microphone's analog passthrough to the speaker, Mic Playback Volume (0..31, at 3) and Switch
 * (off), Capture Volume (0..63) and Switch, Mic/Line/Aux Capture Volume (0..31) and Switch,
 * and with "selector 1" an enumerated Input Source (Mic, Line, Aux).
 */
#include <alsa/asoundlib.h>
#include <alsa/control_external.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef struct {
  const char* name;
  int type; /* SND_CTL_ELEM_TYPE_* */
  unsigned int count;
  long max;
} control_t;

static const control_t controls[] = {
    {"Master Playback Volume", SND_CTL_ELEM_TYPE_INTEGER, 2, 87},
    {"Master Playback Switch", SND_CTL_ELEM_TYPE_BOOLEAN, 2, 1},
    {"PCM Playback Volume", SND_CTL_ELEM_TYPE_INTEGER, 2, 255},
    {"Mic Playback Volume", SND_CTL_ELEM_TYPE_INTEGER, 1, 31},
    {"Mic Playback Switch", SND_CTL_ELEM_TYPE_BOOLEAN, 1, 1},
    {"Capture Volume", SND_CTL_ELEM_TYPE_INTEGER, 2, 63},
    {"Capture Switch", SND_CTL_ELEM_TYPE_BOOLEAN, 2, 1},
    {"Mic Capture Volume", SND_CTL_ELEM_TYPE_INTEGER, 1, 31},
    {"Mic Capture Switch", SND_CTL_ELEM_TYPE_BOOLEAN, 1, 1},
    {"Line Capture Volume", SND_CTL_ELEM_TYPE_INTEGER, 1, 31},
    {"Line Capture Switch", SND_CTL_ELEM_TYPE_BOOLEAN, 1, 1},
    {"Aux Capture Volume", SND_CTL_ELEM_TYPE_INTEGER, 1, 31},
    {"Aux Capture Switch", SND_CTL_ELEM_TYPE_BOOLEAN, 1, 1},
    {"Input Source", SND_CTL_ELEM_TYPE_ENUMERATED, 1, 2},
};
#define CONTROL_COUNT (sizeof controls / sizeof controls[0])
static const char* const sources[] = {"Mic", "Line", "Aux"};

/* Shared by every open of the plugin in this process. Volumes start at 5, switches on, but
 * for the passthrough: low and off. */
static long values[CONTROL_COUNT][2] = {{5, 5}, {1, 1}, {5, 5}, {3, 3}, {0, 0}, {5, 5}, {1, 1},
                                        {5, 5}, {1, 1}, {5, 5}, {1, 1}, {5, 5}, {1, 1}, {0, 0}};

typedef struct {
  snd_ctl_ext_t ext;
  unsigned int count; /* controls shown: without the selector, all but the last */
  char state[512];    /* file the values are written to, or empty */
} mixer_t;

static void write_state(const mixer_t* m) {
  if (m->state[0] == '\0') return;
  FILE* f = fopen(m->state, "w");
  if (f == NULL) return;
  for (unsigned int k = 0; k < CONTROL_COUNT; ++k)
    fprintf(f, "%s=%ld %ld\n", controls[k].name, values[k][0], values[k][1]);
  fclose(f);
}

static void read_state(const mixer_t* m) {
  FILE* f = fopen(m->state, "r");
  if (f == NULL) return;
  char line[256];
  while (fgets(line, sizeof line, f) != NULL) {
    char* eq = strchr(line, '=');
    if (eq == NULL) continue;
    *eq = '\0';
    for (unsigned int k = 0; k < CONTROL_COUNT; ++k)
      if (strcmp(line, controls[k].name) == 0)
        sscanf(eq + 1, "%ld %ld", &values[k][0], &values[k][1]);
  }
  fclose(f);
}

static int elem_count(snd_ctl_ext_t* ext) {
  return (int)((mixer_t*)ext->private_data)->count;
}

static int elem_list(snd_ctl_ext_t* ext, unsigned int offset, snd_ctl_elem_id_t* id) {
  (void)ext;
  snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_id_set_name(id, controls[offset].name);
  return 0;
}

static snd_ctl_ext_key_t find_elem(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id) {
  const char* name = snd_ctl_elem_id_get_name(id);
  unsigned int n = ((mixer_t*)ext->private_data)->count;
  for (unsigned int i = 0; i < n; ++i)
    if (strcmp(name, controls[i].name) == 0) return i;
  return SND_CTL_EXT_KEY_NOT_FOUND;
}

static int get_attribute(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, int* type, unsigned int* acc,
                         unsigned int* count) {
  (void)ext;
  *type = controls[key].type;
  *acc = SND_CTL_EXT_ACCESS_READWRITE;
  *count = controls[key].count;
  return 0;
}

static int get_integer_info(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* imin, long* imax,
                            long* istep) {
  (void)ext;
  *imin = 0;
  *imax = controls[key].max;
  *istep = 1;
  return 0;
}

static int get_enumerated_info(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
  (void)ext;
  (void)key;
  *items = 3;
  return 0;
}

static int get_enumerated_name(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int item,
                               char* name, size_t max) {
  (void)ext;
  (void)key;
  if (item >= 3) return -EINVAL;
  snprintf(name, max, "%s", sources[item]);
  return 0;
}

static int read_integer(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
  (void)ext;
  for (unsigned int c = 0; c < controls[key].count; ++c) value[c] = values[key][c];
  return 0;
}

static int write_integer(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, long* value) {
  int changed = 0;
  for (unsigned int c = 0; c < controls[key].count; ++c) {
    if (value[c] < 0 || value[c] > controls[key].max) return -EINVAL;
    changed |= values[key][c] != value[c];
    values[key][c] = value[c];
  }
  write_state((const mixer_t*)ext->private_data);
  return changed;
}

static int read_enumerated(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
  (void)ext;
  items[0] = (unsigned int)values[key][0];
  return 0;
}

static int write_enumerated(snd_ctl_ext_t* ext, snd_ctl_ext_key_t key, unsigned int* items) {
  (void)ext;
  if (items[0] >= 3) return -EINVAL;
  int changed = values[key][0] != (long)items[0];
  values[key][0] = items[0];
  return changed;
}

static int read_event(snd_ctl_ext_t* ext, snd_ctl_elem_id_t* id, unsigned int* mask) {
  (void)ext;
  (void)id;
  (void)mask;
  return -EAGAIN;
}

static void close_mixer(snd_ctl_ext_t* ext) {
  free(ext->private_data);
}

static const snd_ctl_ext_callback_t callbacks = {
    .close = close_mixer,
    .elem_count = elem_count,
    .elem_list = elem_list,
    .find_elem = find_elem,
    .get_attribute = get_attribute,
    .get_integer_info = get_integer_info,
    .get_enumerated_info = get_enumerated_info,
    .get_enumerated_name = get_enumerated_name,
    .read_integer = read_integer,
    .read_enumerated = read_enumerated,
    .write_integer = write_integer,
    .write_enumerated = write_enumerated,
    .read_event = read_event,
};

SND_CTL_PLUGIN_DEFINE_FUNC(quillet_mixer) {
  snd_config_iterator_t i, next;
  long selector = 0;
  const char* state = "";
  (void)root;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id;
    if (snd_config_get_id(n, &id) < 0) continue;
    if (strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0) continue;
    if (strcmp(id, "selector") == 0) {
      snd_config_get_integer(n, &selector);
      continue;
    }
    if (strcmp(id, "state") == 0) {
      snd_config_get_string(n, &state);
      continue;
    }
    SNDERR("Unknown field %s", id);
    return -EINVAL;
  }
  mixer_t* m = calloc(1, sizeof *m);
  if (m == NULL) return -ENOMEM;
  m->count = selector ? CONTROL_COUNT : CONTROL_COUNT - 1;
  snprintf(m->state, sizeof m->state, "%s", state);
  if (m->state[0] != '\0' && access(m->state, F_OK) == 0)
    read_state(m);
  else
    write_state(m);
  m->ext.version = SND_CTL_EXT_VERSION;
  m->ext.card_idx = 0;
  strcpy(m->ext.id, "QuilletMixer");
  strcpy(m->ext.driver, "quillet");
  strcpy(m->ext.name, "Quillet Test Mixer");
  strcpy(m->ext.longname, "Quillet Test Mixer");
  strcpy(m->ext.mixername, "Quillet Test Mixer");
  m->ext.poll_fd = -1;
  m->ext.callback = &callbacks;
  m->ext.private_data = m;
  int err = snd_ctl_ext_create(&m->ext, name, mode);
  if (err < 0) {
    free(m);
    return err;
  }
  *handlep = m->ext.handle;
  return 0;
}

SND_CTL_PLUGIN_SYMBOL(quillet_mixer);
