/* Two processes over a socket pair: the sender asks for an install
 * (vm_inst_req), the receiver answers with a vm_install_cfg.  Each message
 * goes as a frame: its length in 4 bytes, most significant first, and its
 * encoding.
 *
 *     exchange                  both sides write the newest variants
 *     exchange --old-receiver   the receiver's handle writes vm_install_cfg
 *                               in variant 0, without the owner of variant 1
 *
 * Each process has a handle of its own.  Every call takes the handle, a
 * context id of ours (1) and the error word last; a failing call stores its
 * error number there and later calls given the word do nothing, so each group
 * of steps needs one check. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <drov_def/drov_def.h>
#include <drov_def/runtime.h>

static int failed(const char *who, const char *step, uint32_t err) {
    fprintf(stderr, "%s: %s: %s (%u)\n", who, step, drov_def_strerror(err), err);
    return 1;
}

/* Writes or reads exactly n bytes; 0 when done. */
static int write_all(int fd, const uint8_t *p, size_t n) {
    for (ssize_t k; n > 0; p += k, n -= (size_t)k)
        if ((k = write(fd, p, n)) <= 0) return -1;
    return 0;
}
static int read_all(int fd, uint8_t *p, size_t n) {
    for (ssize_t k; n > 0; p += k, n -= (size_t)k)
        if ((k = read(fd, p, n)) <= 0) return -1;
    return 0;
}

static int send_frame(int fd, const uint8_t *msg, uint32_t n) {
    const uint8_t len[4] = {(uint8_t)(n >> 24), (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n};
    return write_all(fd, len, 4) != 0 || write_all(fd, msg, n) != 0 ? -1 : 0;
}

/* A frame of up to 64 KiB into a new block (*msg, freed by the caller). */
static int recv_frame(int fd, uint8_t **msg, uint32_t *n) {
    uint8_t len[4];
    if (read_all(fd, len, 4) != 0) return -1;
    *n = (uint32_t)len[0] << 24 | (uint32_t)len[1] << 16 | (uint32_t)len[2] << 8 | len[3];
    if (*n == 0 || *n > 65536 || (*msg = malloc(*n)) == NULL) return -1;
    if (read_all(fd, *msg, *n) == 0) return 0;
    free(*msg);
    *msg = NULL;
    return -1;
}

/* The receiver: reads the request, prints it, answers. */
static int receiver(int fd, int old) {
    qel_handle_t *h = drov_def_runtime_new();
    uint32_t err = 0, n = 0, used = 0, size = 0;
    vm_inst_req_t *req = NULL;
    vm_install_cfg_t *cfg = NULL;
    uint8_t *msg = NULL;
    char name[64], text[2048];
    int rc = 1;

    if (h == NULL) return failed("receiver", "handle", DROV_DEF_ENOMEM);
    if (recv_frame(fd, &msg, &n) != 0) { fprintf(stderr, "receiver: no request\n"); goto out; }
    req = vm_inst_req_create(h, 1);
    used = vm_inst_req_unmarshal(h, 1, msg, req, (int32_t)n, 0, &err);
    if (err == 0 && used > n) err = DROV_DEF_EMSGSIZE; /* cut short */
    vm_inst_req_print(h, 1, text, 2, "request", req, sizeof text, &err);
    vm_inst_req_vm_name_get(h, 1, req, name, sizeof name, &err);
    if (err != 0) { failed("receiver", "request", err); goto out; }
    printf("receiver: got %u bytes\n%s", n, text);

    /* The answer is made in the newest variant, with an owner. */
    cfg = vm_install_cfg_create(h, 1);
    vm_install_cfg_vm_name_set(h, 1, cfg, name, (uint32_t)strlen(name), &err);
    vm_install_cfg_trans_id_set_value(h, 1, cfg, vm_inst_req_trans_id_get_value(h, 1, req, &err),
                                      &err);
    vm_install_cfg_install_code_set_value(h, 1, cfg, 0, &err);
    vm_install_cfg_result_str_set(h, 1, cfg, "installed", 9, &err);
    vm_install_cfg_owner_set(h, 1, cfg, "ops", 3, &err);
    if (err != 0) { failed("receiver", "answer", err); goto out; }

    /* marshal writes at most the variant the handle's domain knows.  With
     * the domain at 0 it writes a complete variant-0 encoding, without the
     * owner, and stores 43 to say so. */
    if (old) err = drov_def_runtime_set_variant(h, "vm_install_cfg", 0);
    free(msg);
    size = vm_install_cfg_len(h, 1, cfg) + 1;
    msg = malloc(size);
    n = vm_install_cfg_marshal(h, 1, msg, cfg, (int32_t)size, &err);
    if (old && err == DROV_DEF_EVARIANT) {
        printf("receiver: domain knows vm_install_cfg variant 0: marshal says \"%s\" (%u),"
               " the encoding holds variant %d\n", drov_def_strerror(err), err, (int8_t)msg[0]);
        err = 0;
    }
    if (err != 0) { failed("receiver", "encode", err); goto out; }
    printf("receiver: answering with %u bytes\n", n);
    fflush(stdout); /* before the sender goes on */
    if (send_frame(fd, msg, n) != 0) { fprintf(stderr, "receiver: cannot send\n"); goto out; }
    rc = 0;

out:
    free(msg);
    vm_inst_req_destroy(h, 1, req);
    vm_install_cfg_destroy(h, 1, cfg);
    drov_def_runtime_free(h);
    return rc;
}

/* The sender: asks, then reads and prints the answer. */
static int sender(int fd) {
    qel_handle_t *h = drov_def_runtime_new();
    uint32_t err = 0, n = 0, used = 0, size = 0;
    vm_inst_req_t *req = NULL;
    vm_install_cfg_t *cfg = NULL;
    uint8_t *msg = NULL;
    char owner[256], text[2048];
    int rc = 1;

    if (h == NULL) return failed("sender", "handle", DROV_DEF_ENOMEM);
    req = vm_inst_req_create(h, 1);
    vm_inst_req_trans_id_set_value(h, 1, req, 7, &err);
    vm_inst_req_vm_name_set(h, 1, req, "web01", 5, &err);
    vm_inst_req_ova_pkg_path_set(h, 1, req, "/pkgs/web01.ova", 15, &err);
    vm_inst_req_gen_target_uri_set(h, 1, req, "vm://host-3/web01", 17, &err);
    size = vm_inst_req_len(h, 1, req) + 1;
    msg = malloc(size);
    n = vm_inst_req_marshal(h, 1, msg, req, (int32_t)size, &err);
    if (err != 0) { failed("sender", "request", err); goto out; }
    printf("sender: asking with %u bytes\n", n);
    fflush(stdout); /* before the receiver prints */
    if (send_frame(fd, msg, n) != 0) { fprintf(stderr, "sender: cannot send\n"); goto out; }
    free(msg);
    msg = NULL;

    if (recv_frame(fd, &msg, &n) != 0) { fprintf(stderr, "sender: no answer\n"); goto out; }
    cfg = vm_install_cfg_create(h, 1); /* variant 1, the newest */
    used = vm_install_cfg_unmarshal(h, 1, msg, cfg, (int32_t)n, 0, &err);
    if (err == 0 && used > n) err = DROV_DEF_EMSGSIZE;
    vm_install_cfg_print(h, 1, text, 2, "answer", cfg, sizeof text, &err);
    if (err != 0) { failed("sender", "answer", err); goto out; }
    printf("sender: got %u bytes of variant %d\n%s", n, (int8_t)msg[0], text);

    /* Decoding an older variant lowers the instance to it and leaves the
     * later fields as they were (here: empty, as created); their getters
     * say 43 until a setter raises the instance again. */
    vm_install_cfg_owner_get(h, 1, cfg, owner, sizeof owner, &err);
    if (err == DROV_DEF_EVARIANT)
        printf("sender: no owner in a variant 0 answer: owner_get says \"%s\" (%u)\n",
               drov_def_strerror(err), err);
    else if (err == 0)
        printf("sender: owner \"%s\"\n", owner);
    else { failed("sender", "owner", err); goto out; }
    rc = 0;

out:
    free(msg);
    vm_inst_req_destroy(h, 1, req);
    vm_install_cfg_destroy(h, 1, cfg);
    drov_def_runtime_free(h);
    return rc;
}

int main(int argc, char **argv) {
    int old = argc == 2 && strcmp(argv[1], "--old-receiver") == 0, fds[2], status = 0, rc;
    pid_t pid;

    if (argc > 2 || (argc == 2 && !old)) {
        fprintf(stderr, "usage: exchange [--old-receiver]\n");
        return 2;
    }
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) { perror("socketpair"); return 1; }
    fflush(stdout); /* nothing buffered goes into both processes */
    if ((pid = fork()) < 0) { perror("fork"); return 1; }
    if (pid == 0) {
        close(fds[0]);
        rc = receiver(fds[1], old);
        close(fds[1]);
        return rc;
    }
    close(fds[1]);
    rc = sender(fds[0]);
    close(fds[0]); /* a receiver still waiting sees the end */
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "exchange: the receiver failed\n");
        rc = 1;
    }
    return rc;
}
