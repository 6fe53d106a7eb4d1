.PHONY: run test bench build clean

run:
	scripts/deps.sh run
	scripts/build.sh
	build/app/vendrel9

test:
	scripts/deps.sh test
	scripts/test.sh

bench:
	scripts/deps.sh bench
	scripts/bench.sh

build:
	scripts/deps.sh run
	scripts/build.sh

clean:
	rm -rf build
