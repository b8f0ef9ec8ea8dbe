// ONNX Runtime's forward pass over a detector at one input size: median wall-clock milliseconds
// of repeated runs after one warm-up, with as many intra-op threads as asked.
//
// usage: node forward.js MODEL SIZE THREADS SECONDS
// Prints one line: "forward SIZE MS RUNS".
'use strict';
const ort = require('onnxruntime-node');

async function main() {
  const [model, sizeText, threadsText, secondsText] = process.argv.slice(2);
  const size = Number(sizeText), threads = Number(threadsText), seconds = Number(secondsText);
  const session = await ort.InferenceSession.create(model, {
    graphOptimizationLevel: 'all',
    executionMode: 'sequential',
    intraOpNumThreads: threads,
  });
  const data = new Float32Array(3 * size * size);
  for (let i = 0; i < data.length; ++i) data[i] = (i * 7919) % 255;
  const feeds = {[session.inputNames[0]]: new ort.Tensor('float32', data, [1, 3, size, size])};
  await session.run(feeds);
  const times = [];
  let total = 0;
  while (times.length < 5 || (total < seconds * 1000 && times.length < 200)) {
    const start = process.hrtime.bigint();
    await session.run(feeds);
    const ms = Number(process.hrtime.bigint() - start) / 1e6;
    times.push(ms);
    total += ms;
  }
  times.sort((a, b) => a - b);
  console.log(`forward ${size} ${times[times.length >> 1].toFixed(2)} ${times.length}`);
}

main().catch((e) => {
  console.error(String(e));
  process.exit(1);
});
