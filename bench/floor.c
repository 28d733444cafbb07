/*
 * The floor for first-frame's fast build: the least work the job needs,
 * with the same static FFmpeg, in one process. Opens input_video, decodes
 * the first frame of its best video stream (two slice threads, as the fast
 * build decodes), converts it to BGR24 and writes first_frame.bmp. No
 * OpenCV, no second process, no confinement, no stream probe (with
 * "--probe": avformat_find_stream_info first, as OpenCV's capture does),
 * no frame-rate line, no rotation, no temporary file. It prepares its heap
 * as first-frame does (freed buffers kept, the heap grown once and marked
 * for huge pages), since on a machine where a page fault is dear that
 * decides more than any of the work. bench/run builds it and times it
 * beside the tools, so every change is seen against it.
 */
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libswscale/swscale.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

static AVFrame *first_frame(AVFormatContext *ic, int stream, AVCodecContext *dec)
{
	AVPacket *pkt = av_packet_alloc();
	AVFrame *frame = av_frame_alloc();
	int eof = 0;

	while (pkt && frame) {
		int r = avcodec_receive_frame(dec, frame);
		if (r == 0) {
			av_packet_free(&pkt);
			return frame;
		}
		if (r != AVERROR(EAGAIN) || eof)
			break;
		if (av_read_frame(ic, pkt) < 0) {
			eof = 1;
			avcodec_send_packet(dec, NULL);
			continue;
		}
		if (pkt->stream_index == stream)
			avcodec_send_packet(dec, pkt);
		av_packet_unref(pkt);
	}
	av_packet_free(&pkt);
	av_frame_free(&frame);
	return NULL;
}

static int write_bmp(const char *path, const uint8_t *bgr, int stride, int w, int h)
{
	const int row = (w * 3 + 3) & ~3;
	const size_t size = 54 + (size_t)row * h;
	uint8_t *out = calloc(1, size);
	uint8_t *p = out;
	FILE *f;
	int ok;

	if (!out)
		return 0;
	memcpy(p, "BM", 2);
	AV_WL32(p + 2, (uint32_t)size);
	AV_WL32(p + 10, 54);
	AV_WL32(p + 14, 40);
	AV_WL32(p + 18, (uint32_t)w);
	AV_WL32(p + 22, (uint32_t)h);
	AV_WL16(p + 26, 1);
	AV_WL16(p + 28, 24);
	AV_WL32(p + 34, (uint32_t)((size_t)row * h));
	for (int y = 0; y < h; y++) /* bottom-up */
		memcpy(out + 54 + (size_t)row * y, bgr + (size_t)stride * (h - 1 - y), (size_t)w * 3);
	f = fopen(path, "wb");
	ok = f && fwrite(out, 1, size, f) == size;
	ok = f && fclose(f) == 0 && ok;
	free(out);
	return ok;
}

static void prepare_heap(void)
{
	const size_t ahead = (size_t)192 << 20, huge = (size_t)2 << 20;
	char *heap;
	size_t skip;

	mallopt(M_MMAP_THRESHOLD, 256 << 20);
	mallopt(M_TRIM_THRESHOLD, 512 << 20);
	if (!(heap = malloc(ahead)))
		return;
	skip = (huge - (uintptr_t)heap % huge) % huge;
	madvise(heap + skip, (ahead - skip) & ~(huge - 1), MADV_HUGEPAGE);
	free(heap);
}

int main(int argc, char **argv)
{
	AVFormatContext *ic = NULL;
	AVDictionary *options = NULL;
	const AVCodec *codec = NULL;
	AVCodecContext *dec;
	AVFrame *frame, *bgr;
	struct SwsContext *sws;
	int stream;

	prepare_heap();
	av_log_set_level(AV_LOG_QUIET);
	av_dict_set(&options, "protocol_whitelist", "file", 0);
	if (avformat_open_input(&ic, "input_video", NULL, &options) < 0)
		return 1;
	av_dict_free(&options);
	if (argc > 1 && strcmp(argv[1], "--probe") == 0 && avformat_find_stream_info(ic, NULL) < 0)
		return 1;
	stream = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
	if (stream < 0 || !(dec = avcodec_alloc_context3(codec)) ||
	    avcodec_parameters_to_context(dec, ic->streams[stream]->codecpar) < 0)
		return 1;
	dec->thread_count = 2;
	dec->thread_type = FF_THREAD_SLICE;
	if (avcodec_open2(dec, codec, NULL) < 0 || !(frame = first_frame(ic, stream, dec)))
		return 1;
	bgr = av_frame_alloc();
	bgr->format = AV_PIX_FMT_BGR24;
	bgr->width = frame->width;
	bgr->height = frame->height;
	sws = sws_getContext(frame->width, frame->height, frame->format, frame->width,
	                     frame->height, AV_PIX_FMT_BGR24, SWS_BICUBIC, NULL, NULL, NULL);
	if (!sws || av_frame_get_buffer(bgr, 0) < 0 ||
	    sws_scale(sws, (const uint8_t *const *)frame->data, frame->linesize, 0, frame->height,
	              bgr->data, bgr->linesize) != frame->height ||
	    !write_bmp("first_frame.bmp", bgr->data[0], bgr->linesize[0], bgr->width, bgr->height))
		return 1;
	return 0;
}
